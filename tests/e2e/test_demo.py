"""The demo of the README (scripts/run.sh --once), as a newcomer runs it: a lease for the
client namespace, then the boot file the lease names downloaded over TFTP and compared byte for
byte, and the metrics page showing both. Needs root."""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
RUN_SH = os.path.join(HERE, "..", "..", "scripts", "run.sh")
VELKORA = None


class Demo(unittest.TestCase):
    def test_lease_then_boot_file_byte_for_byte(self):
        names = f"tkdm{os.getpid() % 100000}"
        env = dict(os.environ, TOLMARK_BUILD_DIR=os.path.dirname(os.path.dirname(VELKORA)), TOLMARK_DEMO_NS=names)
        r = subprocess.run(["bash", RUN_SH, "--once", "--no-build"], capture_output=True, text=True, timeout=120,
                           env=env)
        out = r.stdout
        self.assertEqual(r.returncode, 0, out + r.stderr)
        self.assertRegex(out, r"ip=10\.99\.0\.1\d\d\n")
        self.assertIn('downloads the boot file "demo.img" from 10.99.0.1', out)
        self.assertIn("== the boot file arrived byte for byte (300001 bytes)", out)
        served = re.search(r"sha256 served   ([0-9a-f]{64})", out)
        received = re.search(r"sha256 received ([0-9a-f]{64})", out)
        self.assertIsNotNone(served, out)
        self.assertIsNotNone(received, out)
        self.assertEqual(served.group(1), received.group(1))
        # Where the metrics are read, and what they say of the exchange and the download.
        self.assertIn(f"sudo ip netns exec {names}-server curl -s http://127.0.0.1:9167/metrics", out)
        for line in ('tolmark_dhcp_received_total{type="discover"} 1', 'tolmark_dhcp_replies_total{type="ack"} 1',
                     "tolmark_tftp_transfers_started_total 1", 'tolmark_tftp_transfers_ended_total{outcome="done"} 1',
                     "tolmark_tftp_sent_bytes_total 300001", 'tolmark_dhcp_pool_leases_in_use{profile="Demo"} 1'):
            self.assertIn(line, out)
        # Nothing is left behind.
        left = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
        self.assertNotIn(names, left)


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser()
    parser.add_argument("--velkora", required=True)
    args, rest = parser.parse_known_args()
    VELKORA = os.path.abspath(args.velkora)
    netns.require_root()
    for tool in ("busybox", "tftp", "curl"):
        if subprocess.run(["which", tool], capture_output=True).returncode != 0:
            print(f"SKIPPED: {tool} is missing (scripts/install-deps.sh installs it)")
            sys.exit(netns.SKIP)
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
