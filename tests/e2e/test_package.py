"""The Debian package: built with cpack from the build directory, installed with apt-get, its
programs, man pages and configuration in place, "Velkora -install" run from it (against a
stand-in systemctl when systemd is not running), the installed server started in a namespace
and reached by the installed trisko; purged again at the end. Needs root."""

import fcntl
import glob
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

BUILD_DIR = None
# Notes its calls; a start makes the service run and a stop ends it, as "is-active" then says.
STAND_IN = """#!/bin/sh
echo "$@" >> "{dir}/calls"
case "$1" in
start) echo active > "{dir}/state" ;;
stop) echo inactive > "{dir}/state" ;;
is-active) cat "{dir}/state" 2>/dev/null || echo inactive ;;
esac
exit 0
"""


def run(*args, **kw):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=kw.pop("timeout", 300), **kw)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("cpack", "dpkg-deb", "apt-get", "man"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} is missing")
        # One package test at a time on a machine: two builds trees tested at once would install
        # and purge the same package under each other.
        cls.lock = open(os.path.join(tempfile.gettempdir(), "tolmark-package-test.lock"), "w")
        fcntl.flock(cls.lock, fcntl.LOCK_EX)
        if run("dpkg-query", "-W", "-f=${Status}", "tolmark").stdout.startswith("install ok"):
            raise unittest.SkipTest("a tolmark package is installed on this machine already; not touching it")
        cls.dir = tempfile.mkdtemp(prefix="tk-pkg-")
        r = run("cpack", "-G", "DEB", "-B", cls.dir, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"))
        if r.returncode != 0:
            raise RuntimeError(r.stdout + r.stderr)
        debs = glob.glob(os.path.join(cls.dir, "tolmark_*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]
        # A registry file left behind by an earlier run that never got to purge must not stop dpkg
        # with a question nobody can answer.
        r = run("apt-get", "install", "-y", "-q", "-o", "Dpkg::Options::=--force-confnew", f"./{os.path.basename(cls.deb)}", cwd=cls.dir,
                env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        if r.returncode != 0:
            raise RuntimeError(r.stdout + r.stderr)

    @classmethod
    def tearDownClass(cls):
        run("apt-get", "purge", "-y", "-q", "tolmark", env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        shutil.rmtree(cls.dir, ignore_errors=True)
        purged = not os.path.exists("/etc/tolmark/registry.ini") and not os.path.exists("/var/lib/tolmark")
        cls.lock.close()
        assert purged, "the purge left /etc/tolmark/registry.ini or /var/lib/tolmark"

    def stand_in(self):
        """A systemctl that only notes its calls, for "Velkora -install" and "-remove"."""
        systemctl = os.path.join(self.dir, "systemctl")
        with open(systemctl, "w") as f:
            f.write(STAND_IN.format(dir=self.dir))
        os.chmod(systemctl, 0o755)
        return systemctl

    def test_1_files_and_man_pages(self):
        for path in ("/usr/sbin/Velkora", "/usr/bin/trisko", "/etc/tolmark/registry.ini",
                     "/usr/lib/systemd/system/DOZAdadaved.service", "/usr/share/doc/tolmark/examples/Dorvane.ini.example"):
            self.assertTrue(os.path.exists(path), path)
        self.assertTrue(os.path.isdir("/var/lib/tolmark"))
        # The service's own user owns the data directory, which others may not enter.
        user = pwd.getpwnam("tolmark")
        st = os.stat("/var/lib/tolmark")
        self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o777), (user.pw_uid, user.pw_gid, 0o750))
        self.assertEqual(user.pw_shell, "/usr/sbin/nologin")
        with open("/usr/lib/systemd/system/DOZAdadaved.service") as f:
            unit = f.read()
        for line in ("ExecStart=/usr/sbin/Velkora\n", "User=tolmark\n", "ReadWritePaths=/var/lib/tolmark/\n",
                     "AmbientCapabilities=CAP_NET_BIND_SERVICE CAP_NET_RAW\n"):
            self.assertIn(line, unit)
        with open("/etc/tolmark/registry.ini") as f:
            self.assertIn("Directory=/var/lib/tolmark/\n", f.read())
        for page, text in (("Velkora", "DHCP and BOOTP server"), ("trisko", "client entries of a running")):
            self.assertTrue(os.path.exists(f"/usr/share/man/man8/{page}.8.gz"), page)  # compressed, as policy asks
            r = run("man", page, env=dict(os.environ, MANPAGER="cat", MANWIDTH="100"))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(text, r.stdout)
        # The server writes its own keys into the registry file, so the file is no configuration
        # file of the package (dpkg would ask about it at every upgrade); the package carries its
        # first form.
        r = run("dpkg-query", "-W", "-f=${Conffiles}", "tolmark")
        self.assertNotIn("/etc/tolmark/registry.ini", r.stdout)
        self.assertTrue(os.path.exists("/usr/share/tolmark/registry.ini"))

    def test_2_velkora_install_from_the_package(self):
        units = os.path.join(self.dir, "units")
        os.makedirs(units, exist_ok=True)
        env = dict(os.environ, TOLMARK_UNIT_DIR=units, TOLMARK_SYSTEMCTL=self.stand_in())
        for key in ("NOTIFY_SOCKET", "INVOCATION_ID", "TOLMARK_REGISTRY", "TOLMARK_DATA_DIR"):
            env.pop(key, None)
        r = run("/usr/sbin/Velkora", "-install", env=env)
        self.assertEqual(r.stdout, "DHCP Server installed.\nDHCP Server started.\n", r.stderr)
        with open(os.path.join(units, "DOZAdadaved.service")) as f:
            self.assertIn("ExecStart=/usr/sbin/Velkora\n", f.read())
        with open(os.path.join(self.dir, "calls")) as f:
            calls = f.read().splitlines()
        self.assertIn("enable DOZAdadaved", calls)
        self.assertTrue(any(c.startswith("start") and c.endswith("DOZAdadaved") for c in calls), calls)
        # The packaged registry file keeps naming the packaged data directory.
        with open("/etc/tolmark/registry.ini") as f:
            self.assertIn("Directory=/var/lib/tolmark/", f.read())
        r = run("/usr/sbin/Velkora", "-remove", env=env)
        self.assertFalse(os.path.exists(os.path.join(units, "DOZAdadaved.service")), r.stdout)
        # A reinstallation keeps the registry file as the server and the administrator left it,
        # without a question; files a server running as root left become the service user's.
        with open("/etc/tolmark/registry.ini", "a") as f:
            f.write("; kept by the administrator\n")
        with open("/etc/tolmark/registry.ini") as f:
            before = f.read()
        with open("/var/lib/tolmark/dynamic", "w") as f:
            f.write("")
        os.chmod("/var/lib/tolmark/dynamic", 0o644)
        r = run("apt-get", "install", "--reinstall", "-y", "-q", f"./{os.path.basename(self.deb)}", cwd=self.dir,
                env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open("/etc/tolmark/registry.ini") as f:
            self.assertEqual(f.read(), before)
        st = os.stat("/var/lib/tolmark/dynamic")
        self.assertEqual((st.st_uid, st.st_mode & 0o777), (pwd.getpwnam("tolmark").pw_uid, 0o640))
        os.unlink("/var/lib/tolmark/dynamic")

    def test_3_the_installed_server_serves_and_trisko_reaches_it(self):
        try:
            netns.require_root()
        except SystemExit:
            self.skipTest("no network namespaces here")
        lab = netns.Lab("pk")
        server = None
        try:
            srv = lab.namespace("s")
            cli = lab.namespace("c")
            lab.link(srv, "10.93.0.1/24", cli, None, f"{lab.prefix}x")
            env = {k: v for k, v in os.environ.items() if k not in ("TOLMARK_REGISTRY", "TOLMARK_PIPE")}
            # The example configuration's user: started as root, the server changes to it.
            with open("/var/lib/tolmark/Dorvane.ini", "w") as f:
                f.write("[Dorvane]\nRunAsUser=tolmark\n")
            server = netns.Process(["env", "-u", "TOLMARK_REGISTRY", "ip", "netns", "exec", srv, "/usr/sbin/Velkora",
                                    "-debug"])
            self.assertIsNotNone(server.wait_for("DHCP  Start   Server on 10.93.0.1", timeout=15),
                                 "\n".join(server.lines))
            self.assertIsNotNone(server.wait_for("DHCP  Start   as user tolmark (uid ", timeout=1))
            self.assertIsNotNone(server.wait_for("loading /var/lib/tolmark/ethers", timeout=1))
            r = subprocess.run(["ip", "netns", "exec", srv, "/usr/bin/trisko", "print"], capture_output=True,
                               text=True, timeout=20, env=env)
            self.assertEqual(r.returncode, 1, r.stdout)
            self.assertIn("MAC/ID", r.stdout)
        finally:
            if server is not None:
                server.kill()
            lab.close()

    def test_4_the_manager_from_the_package(self):
        for path in ("/usr/bin/Dorvane", "/usr/share/applications/dorvane.desktop",
                     "/usr/share/icons/hicolor/scalable/apps/dorvane.svg", "/usr/share/tolmark/Languages/deutsch.ini",
                     "/usr/share/tolmark/doc/dhcp.htm", "/usr/share/tolmark/doc/dhcp-d.htm",
                     "/usr/share/tolmark/doc/help.css"):
            self.assertTrue(os.path.exists(path), path)
        if shutil.which("desktop-file-validate"):
            r = run("desktop-file-validate", "/usr/share/applications/dorvane.desktop")
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open("/usr/share/applications/dorvane.desktop") as f:
            entry = f.read()
        self.assertIn("Exec=Dorvane\n", entry)
        self.assertIn("Icon=dorvane\n", entry)
        # The installed program starts (its libraries and plugins resolve) and keeps running until
        # it is stopped; with no server it only says the service is not active.
        home = tempfile.mkdtemp(prefix="tk-pkg-home-", dir=self.dir)
        runtime = os.path.join(home, "run")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=runtime,
                   TOLMARK_PIPE=f"tolmark_package_test_{os.getpid()}")
        r = run("timeout", "3", "/usr/bin/Dorvane", env=env)
        self.assertEqual(r.returncode, 124, r.stdout + r.stderr)

    def test_5_an_upgrade_shows_what_the_check_finds_and_goes_on(self):
        # The installation script as dpkg runs it after an upgrade from an older version, over a
        # configuration with an error (a user that does not exist) and a warning.
        with open("/var/lib/tolmark/Dorvane.ini", "w") as f:
            f.write("[Dorvane]\nRunAsUser=no-such-user-of-tolmark\nLog=lots\n")
        env = {k: v for k, v in os.environ.items() if k not in ("TOLMARK_REGISTRY", "TOLMARK_PIPE")}
        try:
            r = run("/var/lib/dpkg/info/tolmark.postinst", "configure", "0.0.1", env=env)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertIn('"Velkora -check" reports on the configuration (exit status 2)', r.stderr)
            self.assertIn("/var/lib/tolmark/Dorvane.ini:2: error: [Dorvane] RunAsUser: ", r.stderr)
            self.assertIn("/var/lib/tolmark/Dorvane.ini:3: warning: [Dorvane] Log: ", r.stderr)
            # The check reads as the service's user: a TFTP root that root may open and the user
            # may not (below the test's own folder, which is root's alone) is named.
            with open("/var/lib/tolmark/Dorvane.ini", "w") as f:
                f.write(f"[Dorvane]\nTFTPEnable=1\nTFTPDirectory={self.dir}/tftp/\n")
            os.makedirs(os.path.join(self.dir, "tftp"), exist_ok=True)
            r = run("/var/lib/dpkg/info/tolmark.postinst", "configure", "0.0.1", env=env)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertIn(f"the TFTP root {self.dir}/tftp/ cannot be opened: Permission denied", r.stderr)
            # A fresh installation has nothing to check yet and says nothing.
            r = run("/var/lib/dpkg/info/tolmark.postinst", "configure", env=env)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertNotIn("Velkora -check", r.stderr)
        finally:
            os.unlink("/var/lib/tolmark/Dorvane.ini")

    def test_6_upgrade_to_a_newer_version_then_remove_and_purge(self):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")

        def apt(*args):
            r = run("apt-get", *args, "-y", "-q", env=env, stdin=subprocess.DEVNULL)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

        # The same package as a newer version.
        tree, newer = os.path.join(self.dir, "newer"), os.path.join(self.dir, "tolmark_newer.deb")
        run("dpkg-deb", "-R", self.deb, tree, check=True)
        run("sed", "-i", "s/^Version: .*/&.1/", os.path.join(tree, "DEBIAN", "control"), check=True)
        run("dpkg-deb", "-b", tree, newer, check=True)
        # What "Velkora -install" leaves in the system's unit folder, and the service enabled.
        unit = "/etc/systemd/system/DOZAdadaved.service"
        wants = "/etc/systemd/system/multi-user.target.wants/DOZAdadaved.service"
        own_unit = not os.path.lexists(unit) and not os.path.lexists(wants)
        user = pwd.getpwnam("tolmark")
        outside = os.path.join(self.dir, "root-only")
        try:
            if own_unit:
                env_install = {k: v for k, v in os.environ.items() if not k.startswith("TOLMARK_")}
                r = run("/usr/sbin/Velkora", "-install", env=dict(env_install, TOLMARK_SYSTEMCTL=self.stand_in()))
                self.assertIn("DHCP Server installed.", r.stdout, r.stderr)
                os.makedirs(os.path.dirname(wants), exist_ok=True)
                os.symlink(unit, wants)
            # A client file a version running as root left; boot files the administrator keeps
            # root's below the data directory; a second name for a file of root's elsewhere.
            os.makedirs("/var/lib/tolmark/boot", exist_ok=True)
            for path in ("/var/lib/tolmark/ethers", "/var/lib/tolmark/boot/pxelinux.0", outside):
                with open(path, "w") as f:
                    f.write("")
                os.chmod(path, 0o644)
            os.link(outside, "/var/lib/tolmark/linked")
            apt("install", newer)
            self.assertTrue(run("dpkg-query", "-W", "-f=${Version}", "tolmark").stdout.endswith(".1"))
            for path, owner, mode in (("/var/lib/tolmark/ethers", user.pw_uid, 0o640),
                                      ("/var/lib/tolmark/boot/pxelinux.0", 0, 0o644), (outside, 0, 0o644)):
                st = os.stat(path)
                self.assertEqual((st.st_uid, st.st_mode & 0o777), (owner, mode), path)
            # Removed: the programs go, the data, the registry file and the user stay.
            apt("remove", "tolmark")
            self.assertFalse(os.path.exists("/usr/sbin/Velkora"))
            self.assertTrue(os.path.exists("/var/lib/tolmark/ethers") and os.path.exists("/etc/tolmark/registry.ini"))
            if own_unit:
                # The unit of a program that is gone would fail at every boot: it stays, but no
                # longer enabled; installing the package again enables it as it was.
                self.assertTrue(os.path.isfile(unit))
                self.assertFalse(os.path.lexists(wants))
                apt("install", newer)
                self.assertEqual(os.readlink(wants), unit)
                apt("remove", "tolmark")
                self.assertFalse(os.path.lexists(wants))
            # Purged: the data, the registry file and the unit the server wrote go, the user stays;
            # a second purge finds everything gone already and says nothing.
            apt("purge", "tolmark")
            for path in ("/var/lib/tolmark", "/etc/tolmark") + ((unit, wants) if own_unit else ()):
                self.assertFalse(os.path.lexists(path), path)
            self.assertEqual(pwd.getpwnam("tolmark").pw_uid, user.pw_uid)
            r = run("sh", os.path.join(BUILD_DIR, "packaging", "postrm"), "purge")
            self.assertEqual((r.returncode, r.stderr), (0, ""))
        finally:
            for path in (unit, wants) if own_unit else ():
                if os.path.lexists(path):
                    os.unlink(path)

if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD_DIR = os.path.abspath(args.build_dir)
    if os.geteuid() != 0:
        print("SKIPPED: installing a package needs root (CI runs it as root)")
        sys.exit(netns.SKIP)
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
