"""Least privilege: the exposure score of the shipped service unit; Velkora in a network
namespace started as root with "RunAsUser" naming a test user, and started as the unit starts it
(as that user with ambient capabilities, through setpriv). Either way /proc shows only the two
capabilities and no-new-privileges on every thread, and the server hands out a lease after the
ARP test (an address held by another host is skipped), replies unicast to a client that has no
address yet, serves and takes TFTP files, saves its client files, follows an address change,
answers root's trisko and refuses another user's change; every file it writes belongs to the
user and is not world-readable. Then each capability is taken away in turn to show what needs
it; a user that does not exist, one that cannot read the configuration, or one that cannot write
the lease file's directory, stops the start."""

import glob
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
HOOK = os.path.join(HERE, "..", "..", "scripts", "client_hook.sh")
VELKORA = None
BUILD_DIR = None
SERVER, CLIENT, SQUATTED, ADDED = "10.97.0.1", "10.97.0.2", "10.97.0.100", "10.97.0.9"
CAPS = {"cap_net_bind_service": 10, "cap_net_raw": 13}
NOBODY = 65534

# Sends a DISCOVER without the broadcast flag from the device's own hardware address and prints
# the reply frame as the wire carried it: its destinations, yiaddr and whether both checksums hold.
UNICAST_PROBE = r"""
import json, os, socket, struct, sys, time
dev = sys.argv[1]
hw = bytes.fromhex(open(f"/sys/class/net/{dev}/address").read().strip().replace(":", ""))
def csum(b):
    b = b + b"\0" * (len(b) % 2)
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return s
sniff = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
sniff.bind((dev, 0))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, 25, dev.encode())
s.bind(("0.0.0.0", 68))
xid = int.from_bytes(os.urandom(4), "big")
d = bytearray(240)
d[0:3] = b"\x01\x01\x06"
d[4:8] = struct.pack("!I", xid)
d[28:34] = hw
d[236:240] = b"\x63\x82\x53\x63"
d += bytes([53, 1, 1, 255]) + bytes(56)
s.sendto(bytes(d), ("255.255.255.255", 67))
deadline = time.monotonic() + 4
while time.monotonic() < deadline:
    sniff.settimeout(max(deadline - time.monotonic(), 0.01))
    try:
        frame = sniff.recv(4096)
    except socket.timeout:
        break
    ip = frame[14:]
    hl = (ip[0] & 15) * 4
    if ip[9] != 17 or struct.unpack("!H", ip[hl + 2:hl + 4])[0] != 68:
        continue
    udp = ip[hl:struct.unpack("!H", ip[2:4])[0]]
    dhcp = udp[8:]
    if len(dhcp) < 240 or struct.unpack("!I", dhcp[4:8])[0] != xid:
        continue
    pseudo = ip[12:20] + struct.pack("!BBH", 0, 17, len(udp))
    print(json.dumps({"dst_mac": frame[0:6].hex(":"), "own_mac": hw.hex(":"), "dst_ip": socket.inet_ntoa(ip[16:20]),
                      "yiaddr": socket.inet_ntoa(dhcp[16:20]), "ip_ok": csum(ip[:hl]) == 0xFFFF,
                      "udp_ok": udp[6:8] == b"\0\0" or csum(pseudo + udp) == 0xFFFF}))
    break
"""


def exposure(unit):
    """The overall exposure that systemd-analyze gives the unit file."""
    r = subprocess.run(["systemd-analyze", "security", "--offline=yes", unit], capture_output=True, text=True,
                       timeout=60)
    found = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", r.stdout + r.stderr)
    if found is None:
        raise AssertionError(r.stdout + r.stderr)
    return float(found.group(1))


class UnitExposure(unittest.TestCase):
    def test_the_shipped_unit_rates_ok(self):
        # "Velkora -install" writes the unit from the same template file.
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is missing (Debian package systemd; scripts/install-deps.sh installs it)")
        score = exposure(os.path.join(BUILD_DIR, "packaging", "DOZAdadaved.service"))
        print(f"exposure of the packaged unit: {score}")
        self.assertLessEqual(score, 2.0)


def capability_mask(names):
    return sum(1 << CAPS[n] for n in names)


def task_states(pid):
    """Uid, CapEff, CapPrm, CapBnd, CapAmb and NoNewPrivs of every thread of the process."""
    states = []
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        with open(status) as f:
            fields = dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
        states.append({"uid": fields["Uid"].split(), "CapEff": int(fields["CapEff"], 16),
                       "CapPrm": int(fields["CapPrm"], 16), "CapBnd": int(fields["CapBnd"], 16),
                       "CapAmb": int(fields["CapAmb"], 16), "NoNewPrivs": fields["NoNewPrivs"].strip()})
    return states


class LogFile:
    """The server's log file in the data directory, read like a console: wait_for a text."""

    def __init__(self, directory):
        self.directory = directory

    @property
    def lines(self):
        lines = []
        for path in sorted(glob.glob(os.path.join(self.directory, "dhcp*.log"))):
            with open(path, errors="replace") as f:
                lines += f.read().splitlines()
        return lines

    def wait_for(self, text, timeout=10.0, start=0):
        deadline = time.monotonic() + timeout
        while True:
            lines = self.lines
            for i in range(start, len(lines)):
                if text in lines[i]:
                    return i
            if time.monotonic() > deadline:
                return None
            time.sleep(0.1)


class LeastPrivilege(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("starting the server as root and as another user needs root")
        missing = [c for c in ("ip", "setpriv", "busybox", "tftp", "useradd", "userdel") if shutil.which(c) is None]
        if missing:
            raise unittest.SkipTest(f"missing: {' '.join(missing)} (scripts/install-deps.sh installs them)")
        cls.user = f"tkrun{os.getpid() % 100000}"
        netns.run("useradd", "--system", "--user-group", "--no-create-home", "--shell", "/usr/sbin/nologin", cls.user)
        cls.account = pwd.getpwnam(cls.user)

    @classmethod
    def tearDownClass(cls):
        netns.run("userdel", cls.user, check=False)
        netns.run("groupdel", cls.user, check=False)

    # The lab: a server and a client namespace, another host on the client's link holding the
    # first pool address, the programs copied where the test user may run them, the data
    # directory the user's.
    def make_lab(self, tag, general):
        self.lab = lab = netns.Lab(tag)
        self.addCleanup(lab.close)
        self.srv, self.cli = lab.namespace("s"), lab.namespace("c")
        self.srv_dev, self.cli_dev = lab.link(self.srv, f"{SERVER}/24", self.cli, f"{CLIENT}/24", f"{lab.prefix}x")
        # Another host on the client's link holds the first pool address: a second hardware
        # address there, and only it answers ARP for that address.
        squatter = f"{lab.prefix}q"
        lab.ns_run(self.cli, "sh", "-c", "echo 1 > /proc/sys/net/ipv4/conf/all/arp_ignore")
        lab.ns_run(self.cli, "ip", "link", "add", squatter, "link", self.cli_dev, "type", "macvlan", "mode", "bridge")
        lab.ns_run(self.cli, "ip", "addr", "add", f"{SQUATTED}/24", "dev", squatter)
        lab.ns_run(self.cli, "ip", "link", "set", squatter, "up")
        os.mkdir(os.path.join(lab.dir, "bin"))
        for program in ("Velkora", "trisko"):
            shutil.copy(os.path.join(os.path.dirname(VELKORA), program), os.path.join(lab.dir, "bin", program))
        self.velkora = os.path.join(lab.dir, "bin", "Velkora")
        self.trisko_path = os.path.join(lab.dir, "bin", "trisko")
        self.tftp_dir = os.path.join(lab.dir, "tftp")
        os.mkdir(self.tftp_dir)
        with open(os.path.join(self.tftp_dir, "boot.bin"), "wb") as f:
            f.write(bytes(range(256)) * 40)
        settings = {"RunAsUser": self.user, "TestIP": 1, "Unicast": 1, "TestHousekeepingMs": 300, "TFTPEnable": 1,
                    "TFTPMode": 0, "TFTPDirectory": self.tftp_dir + "/", "Profile0": "Lan"}
        settings.update(general)
        self.registry = netns.write_config(lab.dir, settings)
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            f.write(f"[Lan]\nInterfaceIP={SERVER}\nSubnetMask=255.255.255.0\nBaseIP={SQUATTED}\nRange=20\n"
                    "Lease=600\n")
        os.chmod(lab.dir, 0o755)
        for path in (lab.dir, self.tftp_dir):
            os.chown(path, self.account.pw_uid, self.account.pw_gid)

    def start(self, how, caps=tuple(CAPS), debug=True):
        """"root": started as root, the server changes user itself. "unit": started as the user
        with ambient capabilities, as systemd starts the service."""
        command = ["ip", "netns", "exec", self.srv]
        if how == "unit":
            listed = ",".join("+" + c[4:] for c in caps)
            command += ["setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--init-groups", "--no-new-privs",
                        f"--inh-caps={listed or '-all'}", f"--ambient-caps={listed or '-all'}",
                        f"--bounding-set=-all{',' + listed if listed else ''}"]
        env = {"TOLMARK_REGISTRY": self.registry}
        if not debug:
            env["INVOCATION_ID"] = "least-privilege-test"  # the service manager started it
        self.server = netns.Process(command + [self.velkora] + (["-debug"] if debug else []), env=env)
        self.addCleanup(self.server.kill)
        self.log = self.server if debug else LogFile(self.lab.dir)

    def logged(self, text, start=0, timeout=12):
        found = self.log.wait_for(text, timeout=timeout, start=start)
        self.assertIsNotNone(found, f"no line with {text!r}:\n" + "\n".join(self.log.lines[-30:]))
        return found

    def client(self, *args, timeout=60, env=None):
        return subprocess.run(["ip", "netns", "exec", self.cli, *args], capture_output=True, text=True,
                              timeout=timeout, cwd=self.lab.dir, env=env)

    def probe_unicast(self):
        r = self.client(sys.executable, "-c", UNICAST_PROBE, self.cli_dev)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.strip(), "no reply to the DISCOVER")
        return json.loads(r.stdout)

    def trisko(self, *args, user=None):
        command = ["ip", "netns", "exec", self.srv]
        if user is not None:
            command += ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"]
        r = subprocess.run(command + [self.trisko_path, *args], capture_output=True, text=True, timeout=30,
                           env=dict(os.environ, TOLMARK_REGISTRY=self.registry))
        return r.returncode, r.stdout

    def assert_owned_and_private(self, path):
        st = os.stat(path)
        self.assertEqual((st.st_uid, st.st_gid), (self.account.pw_uid, self.account.pw_gid), path)
        self.assertEqual(st.st_mode & 0o007, 0, f"{path} is {oct(st.st_mode)}")

    # The scenario, the same whichever way the server was started.
    def serve_as_the_user(self, how, debug):
        self.make_lab(how, {} if debug else {"Log": 2})
        self.start(how, debug=debug)
        self.logged(f"DHCP  Start   Server on {SERVER}", timeout=15)
        uid, gid = self.account.pw_uid, self.account.pw_gid
        self.logged(f"DHCP  Start   as user {self.user} (uid {uid}, gid {gid}), "
                    "capabilities cap_net_bind_service,cap_net_raw")
        self.logged("TFTP  ready   on port 69")

        # Only the two capabilities, on every thread, and no way to gain more.
        both = capability_mask(CAPS)
        states = task_states(self.server.proc.pid)
        self.assertGreater(len(states), 3)
        for state in states:
            self.assertEqual(state["uid"], [str(uid)] * 4)
            self.assertEqual((state["CapEff"], state["CapPrm"], state["CapAmb"]), (both, both, 0), state)
            self.assertEqual(state["CapBnd"] & ~both, 0, state)
            self.assertEqual(state["NoNewPrivs"], "1")

        # The ARP test finds the first pool address taken; the offer goes straight to the
        # client's hardware address and the address offered, with sound checksums.
        offer = self.probe_unicast()
        self.assertNotEqual(offer["yiaddr"], SQUATTED)
        self.assertEqual((offer["dst_ip"], offer["dst_mac"]), (offer["yiaddr"], offer["own_mac"]), offer)
        self.assertTrue(offer["ip_ok"] and offer["udp_ok"], offer)
        hook = os.path.join(self.lab.dir, "u.hook")
        r = self.client("busybox", "udhcpc", "-i", self.cli_dev, "-n", "-q", "-f", "-t", "5", "-T", "3", "-s", HOOK,
                        env=dict(os.environ, HOOK_OUT=hook))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(hook) as f:
            leased = re.findall(r"^ip=(\S+)$", f.read(), re.M)[-1]
        self.assertRegex(leased, r"^10\.97\.0\.1(0[1-9]|1[0-9])$")
        self.logged(f"ACK {leased} 600")

        # The periodic save writes the client files as the user.
        dynamic = os.path.join(self.lab.dir, "dynamic")
        deadline = time.monotonic() + 10
        saved = ""
        while time.monotonic() < deadline and leased not in saved:
            time.sleep(0.2)
            if os.path.exists(dynamic):
                with open(dynamic) as f:
                    saved = f.read()
        self.assertIn(leased, saved)
        self.assert_owned_and_private(dynamic)

        # TFTP: a download; uploads switched on and the port moved to 169 over the control pipe
        # (the listener binds a privileged port again, as the user); an upload, which belongs to
        # the user.
        self.assertEqual(self.client("tftp", "-m", "binary", SERVER, "-c", "get", "boot.bin", "got.bin").returncode, 0)
        with open(os.path.join(self.lab.dir, "got.bin"), "rb") as f:
            self.assertEqual(f.read(), bytes(range(256)) * 40)
        mark = len(self.log.lines)
        r = subprocess.run(["ip", "netns", "exec", self.srv, sys.executable, os.path.join(HERE, "tftp_settings.py"),
                            "TFTPUpload=1", "TFTPPort=169"], capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.logged("TFTP  ready   on port 169", start=mark)
        with open(os.path.join(self.lab.dir, "up.bin"), "wb") as f:
            f.write(b"uploaded by the client\n" * 100)
        self.assertEqual(self.client("tftp", "-m", "binary", SERVER, "169", "-c", "put", "up.bin", "up.bin").returncode, 0)
        uploaded = os.path.join(self.tftp_dir, "up.bin")
        with open(uploaded, "rb") as f:
            self.assertEqual(f.read(), b"uploaded by the client\n" * 100)
        # An upload may be read as far as the TFTP root itself may be (here 0755), never written.
        self.assertEqual((os.stat(uploaded).st_uid, os.stat(uploaded).st_mode & 0o077), (self.account.pw_uid, 0o044))

        # An address added to the host is served.
        mark = len(self.log.lines)
        self.lab.ns_run(self.srv, "ip", "addr", "add", f"{ADDED}/24", "dev", self.srv_dev)
        self.logged(f"local IP address {ADDED}, added", start=mark)
        self.logged(f"DHCP  Start   Server on {ADDED}", start=mark)

        # Root's trisko trusts the server run as the configured user; another user may read only.
        code, out = self.trisko("print")
        self.assertEqual(code, 1, out)
        self.assertTrue(out.startswith("MAC/ID"), out)
        self.assertEqual(self.trisko("add", "00:11:22:33:44:55", "10.97.0.50", user=NOBODY), (0, "operation failed\n"))
        self.assertEqual(self.trisko("print", user=NOBODY)[0], 1)

        if not debug:
            for path in glob.glob(os.path.join(self.lab.dir, "dhcp*.log")):
                self.assert_owned_and_private(path)
        self.server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.proc.wait(timeout=10), 0)

    def test_1_started_as_root_it_changes_to_the_configured_user(self):
        self.serve_as_the_user("root", debug=True)

    def test_2_started_as_the_unit_starts_it(self):
        self.serve_as_the_user("unit", debug=False)

    def test_3_each_capability_is_needed_and_no_other(self):
        # The scenarios above ran without CAP_NET_ADMIN, so it is not needed; binding to an
        # interface is not done at all (one socket per port, IP_PKTINFO).
        cases = [
            # Without CAP_NET_BIND_SERVICE neither port 67 nor port 69 can be bound: nothing can
            # be served, and the start fails.
            ("cap_net_raw", [f"DHCP  Error   failed to start server on {SERVER}", "TFTP  Error   bind on port 69 failed",
                             "DHCP  Error   UDP port 67 cannot be opened: Permission denied; tried again every 10 "
                             "seconds", "TFTP does not run; not started"], None),
            # Without CAP_NET_RAW there is no ARP test, so the address another host holds is
            # offered, and no unicast reply either: the offer is broadcast.
            ("cap_net_bind_service", ["DHCP  Error   no address test (TestIP): ARP needs CAP_NET_RAW",
                                      f"DHCP  Start   Server on {SERVER}"], (SQUATTED, "255.255.255.255")),
        ]
        for kept, lines, offered in cases:
            with self.subTest(kept=kept):
                self.make_lab("cap", {})
                self.start("unit", caps=(kept,))
                for line in lines:
                    self.logged(line)
                if offered is None:
                    self.assertEqual(self.server.proc.wait(timeout=15), 1)
                else:
                    self.assertEqual(task_states(self.server.proc.pid)[0]["CapEff"], capability_mask([kept]))
                if offered is not None:
                    offer = self.probe_unicast()
                    self.assertEqual((offer["yiaddr"], offer["dst_ip"]), offered, offer)
                self.server.kill()
                self.lab.close()

    def test_4_a_user_that_does_not_exist_or_cannot_read_the_configuration_or_save_leases_stops_the_start(self):
        cases = [
            ({"RunAsUser": "tk_no_such_user"}, None,
             "DHCP  Error   RunAsUser tk_no_such_user: no such user; not started"),
            # Unread, the configuration would leave the server to serve every interface on its own.
            ({}, 0o600, "Dorvane.ini is not readable: Permission denied; not started"),
            # So would one that is no file (read as no setting; a FIFO held the start for good).
            ({}, "fifo", "Dorvane.ini is not a regular file; not started"),
            ({}, "/dev/zero", "Dorvane.ini is not a regular file; not started"),
            # Leases it could not save would be forgotten at the next start, and given out again.
            ({}, "leases", "/leases is not writable: Permission denied; not started"),
        ]
        for general, mode, line in cases:
            with self.subTest(line=line):
                self.make_lab("nu", general)
                path = os.path.join(self.lab.dir, "Dorvane.ini")
                if mode == "leases":  # root's directory, which the user cannot write
                    os.mkdir(os.path.join(self.lab.dir, "leases"))
                    with open(path) as f:
                        text = f.read().replace("[Dorvane]\n", f"[Dorvane]\nDynamic={self.lab.dir}/leases/dynamic\n", 1)
                    with open(path, "w") as f:
                        f.write(text)
                elif isinstance(mode, str):
                    os.remove(path)
                    os.mkfifo(path) if mode == "fifo" else os.symlink(mode, path)
                elif mode is not None:
                    os.chmod(path, mode)
                self.start("root")
                self.assertEqual(self.server.proc.wait(timeout=15), 1)
                self.logged(line, timeout=2)
                self.server.settle(0.2)
                self.assertFalse(any("Start   Server" in x for x in self.server.lines), self.server.lines)
                self.assertFalse(os.path.exists(os.path.join(self.lab.dir, "ethers")))
                self.lab.close()


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--velkora", required=True)
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    VELKORA = os.path.abspath(args.velkora)
    BUILD_DIR = os.path.abspath(args.build_dir)
    if os.geteuid() == 0:
        netns.require_root()
    else:
        print("SKIPPED in part: the scenarios need root (CI runs them as root); the unit's rating runs")
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
