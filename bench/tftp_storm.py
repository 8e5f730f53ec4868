"""Boot storm, Velkora and tftpd-hpa in one run: --clients clients (100), each in a network
namespace of its own with an address of its own, start at the same moment and download the same
--megabytes file (20 MB) with curl at block size 1468 and then 512; then atftp clients with the
multicast option (Velkora serves them one group; tftpd-hpa does not know the option and serves
each alone). Every copy is checked byte for byte; failed clients and wrong copies are counted. Printed per storm: the time from the start
until the last client was done, and the server's peak threads, resident memory (for tftpd-hpa
summed over its forked children; the proportional figure shares the pages they have in common)
and descriptors, and its CPU time. Run by hand as root:

    sudo python3 bench/tftp_storm.py --velkora build/default/bin/Velkora

Needs curl, atftp and tftpd-hpa (apt-get install curl atftp tftpd-hpa). The copies are kept
in /dev/shm while they are checked, so that the clients' disk does not set the pace."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import boot_storm  # noqa: E402
import netns  # noqa: E402
from process_usage import PeakSampler, Usage  # noqa: E402


def start_velkora(storm, velkora, root, clients):
    registry = netns.write_config(storm.dir, {
        "TFTPEnable": 1, "TFTPMode": 0, "TFTPDirectory": root + "/", "TFTPClients": clients, "Multicast": 1,
        "MulticastIp": "239.255.0.1", "Port": 6767, "Log": 1})
    return subprocess.Popen(["ip", "netns", "exec", storm.server_ns, "env", "INVOCATION_ID=storm",
                             f"TOLMARK_REGISTRY={registry}", f"TOLMARK_PIPE=tkstorm{os.getpid()}",
                             os.path.abspath(velkora)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start_hpa(storm, root):
    return subprocess.Popen(["ip", "netns", "exec", storm.server_ns, "in.tftpd", "-4", "-L", "-u", "root", "-a",
                             f"{boot_storm.SERVER}:69", "-s", root])


def settle(usage, idle, seconds=180):
    """Waits until the server holds no more descriptors than when idle (its transfers have
    ended; a multicast group member ends a while after its client has everything)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if usage.snapshot()[3] <= idle:
            return True
        time.sleep(0.2)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--velkora", required=True)
    parser.add_argument("--clients", type=int, default=100)
    parser.add_argument("--megabytes", type=int, default=20)
    args = parser.parse_args()
    netns.require_root()
    for tool in ("curl", "atftp", "in.tftpd"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: apt-get install curl atftp tftpd-hpa")

    print(f"making {args.clients} client namespaces ...", flush=True)
    storm = boot_storm.StormLab("st", args.clients, 1)
    copies = tempfile.mkdtemp(prefix="tkstorm-", dir="/dev/shm")
    try:
        root = os.path.join(storm.dir, "root")
        os.makedirs(root)
        source = os.path.join(root, "boot.img")
        with open(source, "wb") as f:
            for _ in range(args.megabytes):
                f.write(os.urandom(1 << 20))
        os.chmod(source, 0o644)
        expected = boot_storm.digest(source)

        print(f"{args.clients} clients at once, {args.megabytes} MB each")
        print(f"{'server':>10} {'clients':>16} {'blksize':>8} {'time s':>8} {'CPU s':>7}  peaks")
        for name in ("Velkora", "tftpd-hpa"):
            proc = start_velkora(storm, args.velkora, root, args.clients) if name == "Velkora" else start_hpa(storm, root)
            usage = Usage(name, proc.pid)
            try:
                time.sleep(1.0)
                idle = usage.snapshot()[3]
                for multicast, blksize in ((False, 1468), (False, 512), (True, 1468), (True, 512)):
                    before = usage.cpu_seconds()
                    with PeakSampler(usage) as peaks:
                        seconds, results = storm.storm(blksize, "boot.img", copies, multicast=multicast)
                    failed = wrong = 0
                    for status, path in results:
                        if status != 0:
                            failed += 1
                        elif boot_storm.digest(path) != expected:
                            wrong += 1
                        if os.path.exists(path):
                            os.unlink(path)
                    if not settle(usage, idle):
                        print(f"{name}: transfers still running after the storm")
                    cpu = usage.cpu_seconds() - before
                    kind = "atftp multicast" if multicast else "curl"
                    outcome = "" if failed == wrong == 0 else f"  {failed} clients failed, {wrong} copies wrong"
                    print(f"{name:>10} {kind:>16} {blksize:>8} {seconds:>8.2f} {cpu:>7.2f}  {peaks.text()}{outcome}",
                          flush=True)
            finally:
                proc.kill()
                proc.wait()
                time.sleep(0.5)
                usage.close()
    finally:
        shutil.rmtree(copies, ignore_errors=True)
        storm.close()


if __name__ == "__main__":
    main()
