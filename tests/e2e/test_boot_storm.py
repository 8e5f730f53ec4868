"""A short boot storm against Velkora: 20 clients, each in a namespace and with an address of its
own, start at the same moment and download the same 2 MB file with curl, at block size 1468 and
then 512; then 20 atftp clients with the multicast option. Every copy must be the file
byte for byte, every unicast transfer must end as done in the log, and the server must hold no
more descriptors afterwards than before. (bench/tftp_storm.py is the full-size, timed version.)"""

import glob
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot_storm  # noqa: E402
import netns  # noqa: E402

VELKORA = None
CLIENTS = 20


class BootStorm(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [c for c in ("curl", "atftp") if shutil.which(c) is None]
        if missing:
            print(f"SKIPPED: TFTP clients missing: {' '.join(missing)} (scripts/install-deps.sh installs them)")
            sys.exit(netns.SKIP)
        cls.storm = boot_storm.StormLab("bs", CLIENTS, 1)
        root = os.path.join(cls.storm.dir, "root")
        os.makedirs(root)
        cls.source = os.path.join(root, "boot.img")
        with open(cls.source, "wb") as f:
            f.write(os.urandom(2 << 20))
        os.chmod(cls.source, 0o644)
        cls.expected = boot_storm.digest(cls.source)
        cls.out = os.path.join(cls.storm.dir, "copies")
        os.makedirs(cls.out)
        registry = netns.write_config(cls.storm.dir, {
            "TFTPEnable": 1, "TFTPMode": 0, "TFTPDirectory": root + "/", "TFTPClients": CLIENTS, "Multicast": 1,
            "MulticastIp": "239.255.0.1", "Port": 6767, "Log": 2})
        # As the service runs: the log at level 2 in its file, not a console line per block.
        cls.server = subprocess.Popen(["ip", "netns", "exec", cls.storm.server_ns, "env", "INVOCATION_ID=storm",
                                       f"TOLMARK_REGISTRY={registry}", VELKORA],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if cls.wait_logged("TFTP  ready   on port 69", 1) is None:
            cls.tearDownClass()
            raise RuntimeError("the server did not start")

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.server.wait()
        cls.storm.close()

    @classmethod
    def log_text(cls):
        text = ""
        for path in glob.glob(os.path.join(cls.storm.dir, "dhcp*.log")):
            with open(path, errors="replace") as f:
                text += f.read()
        return text

    @classmethod
    def wait_logged(cls, text, count, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if cls.log_text().count(text) >= count:
                return True
            time.sleep(0.1)
        return None

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.server.pid}/fd"))

    def run_storm(self, blksize, multicast):
        before = self.descriptors()
        done_before = self.log_text().count("Get/octet")
        _, results = self.storm.storm(blksize, "boot.img", self.out, multicast=multicast, timeout=120)
        for status, path in results:
            self.assertEqual(status, 0, path)
            self.assertEqual(boot_storm.digest(path), self.expected, path)
            os.unlink(path)
        # Every transfer has ended ("<seconds>s <client>  Get/octet  <path>" when done). A group
        # member whose client has everything may end otherwise: its client leaves silently.
        self.assertTrue(self.wait_logged("Get/octet", done_before + CLIENTS, timeout=60), self.log_text()[-3000:])
        log = self.log_text()
        self.assertNotIn("TFTP  Error   request from", log)
        if not multicast:
            self.assertIsNone(re.search(r"TFTP  (Timeout|Abort  |Error   [0-9.]+  Get)", log))
        # The data sockets and files have gone with their transfers.
        deadline = time.monotonic() + 10
        while self.descriptors() > before and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertLessEqual(self.descriptors(), before)

    def test_1_curl_clients_at_two_block_sizes(self):
        for blksize in (1468, 512):
            with self.subTest(blksize=blksize):
                self.run_storm(blksize, multicast=False)

    def test_2_atftp_clients_with_multicast(self):
        start = self.log_text().count("multicast 239.255.0.1")
        self.run_storm(1468, multicast=True)
        # One group served them: its master and the clients that joined it.
        log = self.log_text()
        self.assertGreater(log.count("multicast 239.255.0.1,1758,1"), 0)
        self.assertGreaterEqual(log.count("multicast 239.255.0.1,1758"), start + CLIENTS)


if __name__ == "__main__":
    netns.main(globals())
