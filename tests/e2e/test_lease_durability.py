"""Leases survive a restart, and a server killed at any moment (kill -9) while leases stream in
never leaves a dynamic file that is truncated, fails to load, or has lost a line that an
earlier save had written. A file system that fills up keeps the file as the last save left it."""

import os
import random
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
VELKORA = None
KILLS = 200
DEADLINE_SECONDS = 420
LINE = re.compile(r"^[0-9a-f]{2}(:[0-9a-f]{2}){5}\t\d+\.\d+\.\d+\.\d+\t:\d+(\t=\d+\.\d+\.\d+\.\d+)?(\t[^\t#]+)?(\t#.*)?$")


class Durability(unittest.TestCase):
    def setUp(self):
        lab = self.lab = netns.Lab("du")
        self.srv = lab.namespace("s")
        self.cli = lab.namespace("c")
        _, self.cli_dev = lab.link(self.srv, "10.84.0.1/16", self.cli, "10.84.255.254/16", f"{lab.prefix}x")
        self.configure()
        self.dynamic = os.path.join(lab.dir, "dynamic")
        self.server = None

    def configure(self, **general):
        # TestHousekeepingMs is a setting for tests only: saves come every few hundred ms.
        self.registry = netns.write_config(self.lab.dir, {"TestHousekeepingMs": "100", "Profile0": "Big", **general})
        with open(os.path.join(self.lab.dir, "Dorvane.ini"), "a") as f:
            f.write("[Big]\nInterfaceIP=10.84.0.1\nBaseIP=10.84.1.0\nRange=60000\nSubnetMask=255.255.0.0\n")

    def tearDown(self):
        if self.server is not None:
            self.server.kill()
        self.lab.close()

    def start_server(self, before=None):
        # `before`: a shell command run first in the server's own mount namespace.
        command = [VELKORA, "-debug"] if before is None else ["sh", "-c", f"{before} && exec {VELKORA} -debug"]
        self.server = netns.Process(["ip", "netns", "exec", self.srv, *command],
                                    env={"TOLMARK_REGISTRY": self.registry})
        self.assertIsNotNone(self.server.wait_for("DHCP  Start   Server on 10.84.0.1", timeout=15),
                             "\n".join(self.server.lines))

    def read_lines(self):
        """The dynamic file's lines; every one complete and well formed."""
        if not os.path.exists(self.dynamic):
            return set()
        with open(self.dynamic, "rb") as f:
            data = f.read()
        text = data.decode()
        self.assertTrue(text == "" or text.endswith("\n"), f"file ends inside a line: {text[-80:]!r}")
        lines = text.splitlines()
        for line in lines:
            self.assertRegex(line, LINE)
        return set(lines)

    def stream(self, *args):
        return subprocess.Popen(["ip", "netns", "exec", self.cli, sys.executable,
                                 os.path.join(HERE, "lease_stream.py"), "--device", self.cli_dev, *args],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def leases_until_saved(self, count):
        """Streams `count` new leases and returns once a save has had the time to see them."""
        stream = self.stream("--count", str(count))
        stream.wait(timeout=30)
        stream.stdin.close()
        self.server.settle(0.5)

    def test_1_leases_survive_a_clean_restart(self):
        # The administrator keeps the leases elsewhere and links them into the data directory.
        kept = os.path.join(self.lab.dir, "kept")
        os.makedirs(kept)
        data = os.stat(self.lab.dir)
        os.chown(kept, data.st_uid, data.st_gid)
        os.symlink(os.path.join(kept, "dynamic"), self.dynamic)
        self.start_server()
        ns, dev = self.cli, self.cli_dev
        probe = os.path.join(HERE, "dhcp_probe.py")
        first = self.lab.ns_run(ns, sys.executable, probe, "--device", dev, "--hw", "02:00:00:00:00:77").stdout
        self.assertIn('"type": 2', first)
        # Take the lease with a REQUEST for the offered address.
        offered = re.search(r'"yiaddr": "([0-9.]+)"', first).group(1)
        stream = subprocess.run(["ip", "netns", "exec", ns, sys.executable, os.path.join(HERE, "send_datagram.py"),
                                 "--to", "10.84.0.1", "--bind", "10.84.255.254", "--hw", "02:00:00:00:00:77"])
        self.assertEqual(stream.returncode, 0)
        self.server.proc.send_signal(signal.SIGINT)
        self.assertEqual(self.server.proc.wait(timeout=5), 0)
        lines = self.read_lines()
        self.assertTrue(any(line.startswith("02:00:00:00:00:77\t" + offered + "\t") for line in lines), lines)
        self.assertTrue(os.path.islink(self.dynamic))
        self.start_server()
        again = self.lab.ns_run(ns, sys.executable, probe, "--device", dev, "--hw", "02:00:00:00:00:77").stdout
        self.assertIn(f'"yiaddr": "{offered}"', again)
        # A hangup (the terminal of "Velkora -debug" closed) stops as cleanly, the lease saved.
        self.lab.ns_run(ns, sys.executable, probe, "--device", dev, "--hw", "02:00:00:00:00:78")
        subprocess.run(["ip", "netns", "exec", ns, sys.executable, os.path.join(HERE, "send_datagram.py"),
                        "--to", "10.84.0.1", "--bind", "10.84.255.254", "--hw", "02:00:00:00:00:78"], check=True)
        self.server.proc.send_signal(signal.SIGHUP)
        self.assertEqual(self.server.proc.wait(timeout=5), 0)
        self.assertTrue(any(line.startswith("02:00:00:00:00:78\t") for line in self.read_lines()))
        # The console piped into a pager that quit: the server serves on, and stops cleanly.
        server = subprocess.Popen(["ip", "netns", "exec", self.srv, VELKORA, "-debug"], stdout=subprocess.PIPE,
                                  env={**os.environ, "TOLMARK_REGISTRY": self.registry})
        for line in server.stdout:
            if b"DHCP  Start   Server on 10.84.0.1" in line:
                break
        server.stdout.close()
        self.lab.ns_run(ns, sys.executable, probe, "--device", dev, "--hw", "02:00:00:00:00:79")
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(timeout=5), 0)
        self.assertTrue(any(line.startswith("02:00:00:00:00:79\t") for line in self.read_lines()))

    def test_2_kill_at_random_moments_never_damages_the_file(self):
        rng = random.Random(20261207)
        stream = self.stream()
        seen = set()
        kills = 0
        deadline = time.monotonic() + DEADLINE_SECONDS
        try:
            while kills < KILLS and time.monotonic() < deadline:
                self.start_server()
                end = time.monotonic() + rng.uniform(0.05, 0.5)
                while time.monotonic() < end:
                    current = self.read_lines()
                    self.assertTrue(seen <= current, f"lines lost while running: {sorted(seen - current)[:3]}")
                    seen |= current
                    time.sleep(rng.uniform(0.0, 0.05))
                self.server.proc.send_signal(signal.SIGKILL)
                self.server.proc.wait(timeout=5)
                kills += 1
                current = self.read_lines()
                self.assertTrue(seen <= current, f"lines lost by kill {kills}: {sorted(seen - current)[:3]}")
                seen |= current
        finally:
            stream.stdin.close()
            stream.wait(timeout=10)
        self.assertEqual(kills, KILLS, f"only {kills} kills within {DEADLINE_SECONDS} s")
        self.assertGreater(len(seen), 50, "the stream produced too few leases to mean anything")
        # The last file loads: the server reports every line of it.
        self.start_server()
        i = self.server.wait_for(" configured entries ", timeout=5)
        self.assertIsNotNone(i)

    def test_3_a_full_disk_keeps_the_old_file_and_logs_twice(self):
        small = os.path.join(self.lab.dir, "small")
        os.mkdir(small)
        self.configure(Dynamic=os.path.join(small, "dynamic"))
        # A small file system of the server's own mount namespace, seen from here through /proc.
        self.start_server(before=f"mount -t tmpfs -o size=64k tmpfs {small}")
        inside = f"/proc/{self.server.proc.pid}/root{small}"
        self.dynamic = os.path.join(inside, "dynamic")
        self.leases_until_saved(30)
        before = self.read_lines()
        self.assertGreater(len(before), 10)

        filler = os.open(os.path.join(inside, "filler"), os.O_WRONLY | os.O_CREAT)
        try:
            for _ in range(1024):
                os.write(filler, bytes(1024))
        except OSError:
            pass
        os.close(filler)
        self.leases_until_saved(30)
        failed = f"DHCP  Error   failed to save {small}/dynamic (write: No space left on device)"
        self.assertIsNotNone(self.server.wait_for(failed, timeout=5), "\n".join(self.server.lines[-20:]))
        self.server.settle(1.0)  # ten more periods, each trying again
        self.assertEqual(self.read_lines(), before)
        self.assertEqual(sum(failed in line for line in self.server.lines), 1)
        self.assertFalse(os.path.exists(os.path.join(inside, "dynamic.tmp")))

        os.unlink(os.path.join(inside, "filler"))
        again = self.server.wait_for(f"DHCP  Leases  saved {small}/dynamic again after ", timeout=5)
        self.assertIsNotNone(again, "\n".join(self.server.lines[-20:]))
        self.assertGreater(len(self.read_lines()), len(before))
        self.assertEqual(sum(failed in line for line in self.server.lines), 1)

        # A file size limit fails a save as a full disk does; the server serves on.
        self.server.proc.send_signal(signal.SIGTERM)
        self.server.proc.wait(timeout=5)
        self.start_server(before=f"mount -t tmpfs -o size=64k tmpfs {small} && ulimit -f 4")
        self.leases_until_saved(100)
        too_large = f"DHCP  Error   failed to save {small}/dynamic (write: File too large)"
        self.assertIsNotNone(self.server.wait_for(too_large, timeout=5), "\n".join(self.server.lines[-20:]))
        self.assertIsNone(self.server.proc.poll())

    def test_4_a_copy_cut_short_in_its_last_lease_keeps_that_lease(self):
        # Two addresses, both leased; the copy of the file put back was cut inside the last
        # lease's time, its profile name gone with it. A new client must find the pool full.
        self.registry = netns.write_config(self.lab.dir, {"Profile0": "Small"})
        with open(os.path.join(self.lab.dir, "Dorvane.ini"), "a") as f:
            f.write("[Small]\nInterfaceIP=10.84.0.1\nBaseIP=10.84.1.0\nRange=2\nSubnetMask=255.255.0.0\n")
        ends = str(int(time.time()) + 3600)
        with open(self.dynamic, "w") as f:
            f.write(f"02:00:00:00:00:a1\t10.84.1.0\t:{ends}\tSmall\n02:00:00:00:00:a2\t10.84.1.1\t:{ends[:4]}")
        self.start_server()
        held = self.server.wait_for("the time of 10.84.1.1 may be cut, held for 36000 seconds", timeout=5)
        self.assertIsNotNone(held, "\n".join(self.server.lines))
        probe = os.path.join(HERE, "dhcp_probe.py")
        newcomer = self.lab.ns_run(self.cli, sys.executable, probe, "--device", self.cli_dev, "--hw",
                                   "02:00:00:00:00:a3").stdout
        self.assertNotIn('"yiaddr": "10.84.1.1"', newcomer)
        holder = self.lab.ns_run(self.cli, sys.executable, probe, "--device", self.cli_dev, "--hw",
                                 "02:00:00:00:00:a2").stdout
        self.assertIn('"yiaddr": "10.84.1.1"', holder)


if __name__ == "__main__":
    netns.main(globals())
