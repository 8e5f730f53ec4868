"""The TFTP server against what a hostile peer on the LAN tries, in network namespaces:

- names that lead out of the root (absolute, doubled slashes, backslashes, links) and the
  server's own files, for reads and uploads, with the root left at the data directory and
  openat2 reporting ENOSYS (the open must not depend on it);
- uploads that never complete, which leave the old file as it was and nothing else;
- a spoofed ERROR from one server's port 69 to another's, which neither answers, and requests
  from port 0 and from the network's broadcast address, which start no transfer;
- 2,000 short downloads, each name spelled differently, after which the transfer list, the
  mappings and the resident memory are back near their idle values and the log stays small; a
  name with a newline is logged on one line.
"""

import glob
import json
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
VELKORA = None
NO_OPENAT2 = None
MEASURE_MEMORY = False


def attack(lab, ns, *args, stdin=None):
    r = subprocess.run(["ip", "netns", "exec", ns, sys.executable, os.path.join(HERE, "tftp_attacks.py"), *args],
                       input=stdin, capture_output=True, text=True, timeout=240)
    if r.returncode != 0:
        raise AssertionError(r.stderr)
    return json.loads(r.stdout)


def process_memory(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    with open(f"/proc/{pid}/maps") as f:
        maps = sum(1 for _ in f)
    return rss, maps


class NamesAndOwnFiles(unittest.TestCase):
    """Root at the data directory (TFTPDirectory unset), uploads with overwriting allowed, and
    openat2 refused by a seccomp filter. Each case abandons its transfer and the next starts at
    once, before a slow machine may have ended the last: room for 10 transfers per address keeps
    the per-address limit out of these cases."""

    @classmethod
    def setUpClass(cls):
        lab = cls.lab = netns.Lab("th")
        cls.srv = lab.namespace("s")
        cls.cli = lab.namespace("c")
        lab.link(cls.srv, "10.79.0.1/24", cls.cli, "10.79.0.2/24", f"{lab.prefix}x")
        cls.data = lab.dir + "/"
        registry = netns.write_config(lab.dir, {"TFTPEnable": 1, "TFTPMode": 0, "TFTPUpload": 3, "TFTPTimeout": 1,
                                                "TFTPRetransmit": 1, "TFTPClients": 40})
        cls.files = {"pxelinux.0": b"boot loader", "existing.bin": b"kept as it was", "ethers": b"",
                     "dynamic": b"", "dynamic.bak": b""}
        for name, content in cls.files.items():
            with open(cls.data + name, "wb") as f:
                f.write(content)
        os.symlink("/etc", cls.data + "out")
        os.symlink(cls.data + "pxelinux.0", cls.data + "inside")
        cls.before = sorted(os.listdir(lab.dir))
        os.chmod(lab.dir, 0o755)
        cls.server = netns.Process(["ip", "netns", "exec", cls.srv, NO_OPENAT2, VELKORA, "-debug"],
                                   env={"TOLMARK_REGISTRY": registry})
        if cls.server.wait_for("TFTP  ready   on port 69", timeout=15) is None:
            cls.server.kill()
            lab.close()
            raise RuntimeError("server did not start:\n" + "\n".join(cls.server.lines))
        with open(cls.data + "Dorvane.ini", "rb") as f:
            cls.files["Dorvane.ini"] = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.lab.close()

    def test_names_that_lead_out_and_the_servers_own_files_are_refused(self):
        self.assertIn("openat2: ENOSYS", self.server.lines)
        cases = [
            # Reads: below the root, whatever the name says; links only while they stay below.
            ([1, "\\\\etc\\shadow"], 1),
            ([1, "//etc/hostname"], 1),
            ([1, "out/hostname"], 2),
            ([1, "inside"], "data"),
            ([1, "pxelinux.0"], "data"),
            ([1, "Dorvane.ini"], 2),
            ([1, "dynamic"], 2),
            ([1, "dynamic.bak"], 2),
            ([1, "ethers"], 2),
            ([1, "registry.ini"], 2),
            # Uploads: the same, and one abandoned at once leaves nothing behind.
            ([2, "\\\\etc\\planted"], 3),
            ([2, "//etc/planted"], 3),
            ([2, "out/planted"], 2),
            ([2, "Dorvane.ini"], 2),
            ([2, "ethers"], 2),
            ([2, "ignored"], 2),
            ([2, "dynamic.tmp"], 2),
            ([2, "existing.bin"], "ack"),
            ([2, "existing.bin", "tsize", "100"], "oack"),
            ([2, "new.bin"], "ack"),
        ]
        replies = attack(self.lab, self.cli, "requests", "10.79.0.1",
                         stdin=json.dumps([c for c, _ in cases]))["replies"]
        for (case, expected), reply in zip(cases, replies):
            with self.subTest(case=case):
                self.assertIsNotNone(reply)
                if isinstance(expected, int):
                    self.assertEqual((reply["opcode"], reply["code"], reply["port"]), (5, expected, 69), reply)
                else:
                    self.assertEqual(reply["opcode"], {"data": 3, "ack": 4, "oack": 6}[expected], reply)
        self.assertEqual(replies[3]["size"], len(b"boot loader"))
        # A silent upload that goes away ends too (by time-out, or when the client's port is closed).
        attack(self.lab, self.cli, "requests", "10.79.0.1", stdin=json.dumps([[2, "existing.bin", "blksize", "8", "+silent"]]))
        self.assertIsNotNone(self.server.wait_for(f"10.79.0.2  Put/octet  {self.data}existing.bin", timeout=10))
        self.assertIsNotNone(self.server.wait_for(f"Removed the unfinished upload of {self.data}existing.bin", timeout=2))
        self.server.settle(1)
        self.assertEqual(sorted(os.listdir(self.lab.dir)), self.before)
        for name, content in self.files.items():
            with open(self.data + name, "rb") as f:
                self.assertEqual(f.read(), content, name)
        self.assertFalse(os.path.exists("/etc/planted"))


class SpoofedError(unittest.TestCase):
    def test_an_error_between_two_servers_is_answered_by_neither(self):
        lab = netns.Lab("te")
        servers = []
        try:
            a, b = lab.namespace("a"), lab.namespace("b")
            lab.link(a, "10.80.0.1/24", b, "10.80.0.2/24", f"{lab.prefix}x")
            for ns in (a, b):
                directory = os.path.join(lab.dir, ns)
                os.mkdir(directory)
                registry = netns.write_config(directory, {"TFTPEnable": 1, "TFTPMode": 0})
                with open(os.path.join(directory, "boot.bin"), "wb") as f:
                    f.write(b"boot")
                servers.append(netns.start_velkora(lab, ns, VELKORA, registry, "TFTP  ready   on port 69"))

            def received(ns):
                text = lab.ns_run(ns, "cat", "/proc/net/snmp").stdout.splitlines()
                names, values = [line.split() for line in text if line.startswith("Udp:")][:2]
                return int(values[names.index("InDatagrams")])

            before = {ns: received(ns) for ns in (a, b)}
            error = "0005" + "0000" + b"spoofed".hex() + "00"
            attack(lab, a, "spoof", "10.80.0.1", "10.80.0.2", error)
            time.sleep(2)
            # The spoofed datagram reached b, and nothing went back and forth.
            self.assertEqual(received(b) - before[b], 1)
            self.assertEqual(received(a) - before[a], 0)
            self.assertIsNotNone(servers[1].wait_for("TFTP  Error   request from 10.80.0.1 ignored, 0", timeout=2))
            # A request from port 0, which no answer could reach, starts no transfer either.
            start = len(servers[1].lines)
            attack(lab, a, "spoof", "10.80.0.1", "10.80.0.2", "0001" + b"boot.bin".hex() + "00" + b"octet".hex() + "00", "0")
            self.assertIsNotNone(servers[1].wait_for("request from 10.80.0.1 ignored, 0", timeout=2, start=start))
            servers[1].settle(1)
            self.assertEqual([line for line in servers[1].lines[start:] if "boot.bin" in line], [])
            # Nor do requests forged from the network's broadcast address: the answers would reach
            # every host of the network, here a, which asked for nothing.
            start = len(servers[1].lines)
            bystander = subprocess.Popen(["ip", "netns", "exec", a, sys.executable, os.path.join(HERE, "tftp_attacks.py"),
                                          "overhear", "1234", "4"], stdout=subprocess.PIPE, text=True)
            bystander.stdout.readline()
            for name in (b"boot.bin", b"missing"):  # a transfer, and a refusal from port 69
                attack(lab, a, "spoof", "10.80.0.255", "10.80.0.2", "0001" + name.hex() + "00" + b"octet".hex() + "00",
                       "1234")
            self.assertEqual(json.loads(bystander.communicate(timeout=10)[0]), {"heard": 0})
            self.assertIsNotNone(servers[1].wait_for("request from 10.80.0.255 ignored, 0", timeout=2, start=start))
        finally:
            for server in servers:
                server.kill()
            lab.close()


class ShortDownloadsFlood(unittest.TestCase):
    COUNT = 2000

    def test_two_thousand_short_downloads_leave_nothing_behind_and_a_small_log(self):
        lab = netns.Lab("tm")
        server = None
        try:
            srv, cli = lab.namespace("s"), lab.namespace("c")
            lab.link(srv, "10.81.0.1/24", cli, "10.81.0.2/24", f"{lab.prefix}x")
            # Names under a prefix may hold ":", so a forged line's time stamp can come through.
            registry = netns.write_config(lab.dir, {"TFTPEnable": 1, "TFTPMode": 0, "Log": 2,
                                                    "TFTPPrefix": "/nonexistent"})
            with open(os.path.join(lab.dir, "small.txt"), "wb") as f:
                f.write(b"small file\n")
            os.chmod(lab.dir, 0o755)
            # Started as the service manager starts it, so that the log goes to its file.
            server = netns.Process(["ip", "netns", "exec", srv, VELKORA],
                                   env={"TOLMARK_REGISTRY": registry, "INVOCATION_ID": "tftp"})
            deadline = time.monotonic() + 15
            logs = []
            while time.monotonic() < deadline and not logs:
                logs = glob.glob(os.path.join(lab.dir, "dhcp????.log"))
                time.sleep(0.2)
            self.assertTrue(logs, "\n".join(server.lines))
            time.sleep(1)
            idle = process_memory(server.proc.pid)

            result = attack(lab, cli, "downloads", "10.81.0.1", str(self.COUNT), "small.txt")
            self.assertEqual(result["done"], self.COUNT, result)
            forged = "/nonexistent\n2026-01-01 00:00:00 DHCP  Request 02:00:00:00:00:01 ACK 10.81.0.50 600"
            attack(lab, cli, "requests", "10.81.0.1", stdin=json.dumps([[1, forged]]))
            time.sleep(7)  # ended transfers are shown for 5 seconds once read

            # Those nobody has read yet stay, a few hundred at most, until a reader has had them.
            trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
            listed = subprocess.run(["ip", "netns", "exec", srv, trisko, "transfers"], capture_output=True, text=True,
                                    timeout=20).stdout
            self.assertLessEqual(listed.count("Get/octet"), 256)
            time.sleep(7)
            listed = subprocess.run(["ip", "netns", "exec", srv, trisko, "transfers"], capture_output=True, text=True,
                                    timeout=20).stdout
            self.assertNotIn("Get/octet", listed)
            rss, maps = process_memory(server.proc.pid)
            print(f"{result}; idle {idle[0]} kB in {idle[1]} mappings, after {rss} kB in {maps}", flush=True)
            # Under AddressSanitizer freed read-ahead buffers stay mapped in its quarantine, so
            # memory and mappings are measured in the plain build only.
            if MEASURE_MEMORY:
                self.assertLess(maps, idle[1] + 50)
                self.assertLess(rss, idle[0] + 16 * 1024)

            server.proc.send_signal(signal.SIGTERM)
            server.proc.wait(timeout=15)
            with open(logs[0], errors="replace") as f:
                lines = f.read().splitlines()
            done = [line for line in lines if "Get/octet" in line]
            # Each kind of line has its budget: a burst, then 20 lines a second.
            self.assertLess(len(done), 1000 + 20 * (result["seconds"] + 10))
            # The lines of one client's downloads of one file are identical ("0s", client, file):
            # held back as similar lines when they come faster than the kind's budget, else as
            # identical ones. Either way the log says that lines were held back.
            if len(done) < self.COUNT:
                self.assertTrue(any("similar lines suppressed" in line or "identical lines suppressed" in line
                                    for line in lines), "\n".join(lines[-40:]))
            self.assertTrue(any("/nonexistent\\x0A2026-01-01 00:00:00 DHCP  Request" in line for line in lines))
            self.assertFalse([line for line in lines if line.startswith("2026-01-01 00:00:00")])
        finally:
            if server is not None:
                server.kill()
            lab.close()


if __name__ == "__main__":
    for option in ("--no-openat2",):
        if option in sys.argv:
            i = sys.argv.index(option)
            NO_OPENAT2 = os.path.abspath(sys.argv[i + 1])
            del sys.argv[i:i + 2]
    if "--measure-memory" in sys.argv:
        sys.argv.remove("--measure-memory")
        MEASURE_MEMORY = True
    netns.main(globals())
