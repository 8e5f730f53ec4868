"""Velkora -install and -remove against a temporary unit directory and a stand-in systemctl,
and the usage text of an unknown argument. Needs no root."""

import os
import pwd
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

VELKORA = None

# Answers "is-active" with the lines of the file answers in turn (the last one stays), and
# refuses a start while the file refuse is there, as systemd does for a unit it cannot load.
STAND_IN = """#!/bin/sh
echo "$@" >> "{dir}/calls"
case "$1" in
start)
  if [ -e "{dir}/refuse" ]; then
    echo "Failed to start DOZAdadaved.service: Unit DOZAdadaved.service has a bad unit file setting." >&2
    exit 1
  fi ;;
is-active)
  head -n 1 "{dir}/answers"
  if [ "$(wc -l < "{dir}/answers")" -gt 1 ]; then sed -i 1d "{dir}/answers"; fi ;;
esac
exit 0
"""


class ServiceInstall(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tk-svc-")
        self.units = os.path.join(self.dir, "units")
        os.mkdir(self.units)
        systemctl = os.path.join(self.dir, "systemctl")
        with open(systemctl, "w") as f:
            f.write(STAND_IN.format(dir=self.dir))
        os.chmod(systemctl, 0o755)
        # Stand-ins for the account tools: they record what they were asked and create nobody.
        tools = os.path.join(self.dir, "bin")
        os.mkdir(tools)
        for tool in ("groupadd", "useradd"):
            with open(os.path.join(tools, tool), "w") as f:
                f.write(f'#!/bin/sh\necho {tool} "$@" >> "{self.dir}/accounts"\nexit 0\n')
            os.chmod(os.path.join(tools, tool), 0o755)
        self.registry = os.path.join(self.dir, "registry.ini")
        self.data = os.path.join(self.dir, "data") + "/"
        self.env = dict(os.environ, TOLMARK_UNIT_DIR=self.units, TOLMARK_SYSTEMCTL=systemctl,
                        TOLMARK_REGISTRY=self.registry, TOLMARK_DATA_DIR=self.data,
                        PATH=tools + ":" + os.environ["PATH"])
        for key in ("NOTIFY_SOCKET", "INVOCATION_ID"):
            self.env.pop(key, None)

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.dir])

    def velkora(self, *args):
        return subprocess.run([VELKORA, *args], env=self.env, capture_output=True, text=True, timeout=60)

    def answer(self, *states):
        with open(os.path.join(self.dir, "answers"), "w") as f:
            f.write("".join(state + "\n" for state in states))

    def calls(self):
        with open(os.path.join(self.dir, "calls")) as f:
            return f.read().splitlines()

    def test_install_then_remove(self):
        # The service's user is created when the host has none (the stand-ins create nobody, so
        # the installation says it is missing); an existing one is used as it is.
        try:
            pwd.getpwnam("tolmark")
            user_missing = ""
        except KeyError:
            user_missing = "Unable to create the user tolmark - No such file or directory (0x2)\n"
        self.answer("activating", "active")
        r = self.velkora("-INSTALL")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, user_missing + "DHCP Server installed.\nDHCP Server started.\n")
        if user_missing:
            with open(os.path.join(self.dir, "accounts")) as f:
                self.assertEqual(f.read().splitlines(), [
                    "groupadd --system tolmark",
                    f"useradd --system --gid tolmark --home-dir {self.data.rstrip('/')} --no-create-home "
                    "--shell /usr/sbin/nologin --comment Tolmark DHCP Server tolmark"])
        unit = os.path.join(self.units, "DOZAdadaved.service")
        with open(unit) as f:
            text = f.read()
        self.assertIn(f"ExecStart={os.path.abspath(VELKORA)}\n", text)
        self.assertIn("Type=notify\n", text)
        # The server runs as its own user, writing only its data directory.
        self.assertIn("User=tolmark\n", text)
        self.assertIn(f"ReadWritePaths={self.data}\n", text)
        self.assertIn("CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_NET_RAW\n", text)
        self.assertEqual(self.calls(), ["daemon-reload", "enable DOZAdadaved", "start --no-block DOZAdadaved",
                                        "is-active DOZAdadaved", "is-active DOZAdadaved"])
        # The installed service keeps its data in its own directory, not next to the executable.
        with open(self.registry) as f:
            self.assertIn(f"Directory={self.data}\n", f.read())
        self.assertTrue(os.path.isdir(self.data))

        again = self.velkora("-install")
        self.assertEqual(again.returncode, 1)
        self.assertEqual(again.stdout, user_missing + "DHCP Server service installation failed - File exists (0x11)\n")

        self.answer("active", "deactivating", "inactive")
        r = self.velkora("-remove")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "Stopping DHCP Server..\nDHCP Server stopped.\nDHCP Server deleted.\n")
        self.assertFalse(os.path.exists(unit))
        self.assertIn("stop --no-block DOZAdadaved", self.calls())
        self.assertIn("disable DOZAdadaved", self.calls())

        gone = self.velkora("-remove")
        self.assertEqual(gone.stdout,
                         "DHCP Server failed to access service - No such file or directory (0x2)\n")

        # A start systemd refuses is reported as a failure (the unit stays, to be mended and started).
        why = '; "systemctl status DOZAdadaved" and "journalctl -u DOZAdadaved" tell why\n'
        open(os.path.join(self.dir, "refuse"), "w").close()
        r = self.velkora("-install")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, user_missing + "DHCP Server installed.\nDHCP Server failed to start - the service "
                         "manager refused it: Input/output error (0x5)" + why)
        self.assertIn("has a bad unit file setting", r.stderr)
        self.assertTrue(os.path.exists(unit))

    def test_missing_unit_directory(self):
        self.env["TOLMARK_UNIT_DIR"] = os.path.join(self.dir, "nowhere")
        r = self.velkora("-install")
        self.assertEqual(r.stdout, "OpenSCManager failed - No such file or directory (0x2)\n")
        self.assertEqual(r.returncode, 1)

    def test_unknown_argument_prints_the_usage_and_exits(self):
        r = self.velkora("-help")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout,
                         "Velkora -install     to install the service\n"
                         "Velkora -remove      to remove the service\n"
                         "Velkora -debug       to run the service as a console application\n"
                         "Velkora -check [file] to check the configuration and the client files\n"
                         "\nStartServiceCtrlDispatcher being called.\n"
                         "This may take several seconds.  Please wait.\n")

        # Started by the service manager, whose journal takes the output, it prints no usage (a
        # configuration that names no user ends this start at once).
        os.mkdir(self.data)
        with open(self.registry, "w") as f:
            f.write(f"[Dorvane]\nDirectory={self.data}\n")
        with open(os.path.join(self.data, "Dorvane.ini"), "w") as f:
            f.write("[Dorvane]\nRunAsUser=tk-no-such-user\n")
        r = subprocess.run([VELKORA], env=dict(self.env, INVOCATION_ID="1"), capture_output=True, text=True,
                           timeout=60)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("RunAsUser tk-no-such-user: no such user; not started", r.stderr)


if __name__ == "__main__":
    netns.main(globals(), needs_root=False)
