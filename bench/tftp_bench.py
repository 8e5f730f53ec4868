"""Whole-process TFTP figures: 100 MB downloaded with the same client from Velkora and from
tftpd-hpa on loopback (block sizes 512, 1468 and 8192, with curl), then from Velkora with
windowsize 1 and 16 (atftp, block size 1468) through a small UDP relay that delays every
datagram by 1 ms each way. Prints the times and the ratios. Run by hand as root (everything
happens on the loopback of a network namespace the script creates):

    sudo python3 bench/tftp_bench.py --velkora build/default/bin/Velkora

Needs curl, atftp and tftpd-hpa (its in.tftpd is started by hand inside the namespace; the
package's own service is not used)."""

import argparse
import collections
import hashlib
import os
import select
import shutil
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402

VELKORA_PORT = 16969
HPA_PORT = 16970
RELAY_PORT = 17000

RELAY = r'''
import collections, select, socket, sys, time
listen, target, delay, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
front.bind(("127.0.0.1", listen))
back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
back.bind(("127.0.0.1", 0))
for s in (front, back):
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
client = None
server = ("127.0.0.1", target)  # the listener first, then the transfer's data port
queue = collections.deque()
print("ready", flush=True)
end = time.monotonic() + seconds
while time.monotonic() < end:
    now = time.monotonic()
    timeout = max(0.0, queue[0][0] - now) if queue else 0.2
    readable, _, _ = select.select([front, back], [], [], timeout)
    now = time.monotonic()
    for s in readable:
        data, peer = s.recvfrom(70000)
        if s is front:
            client = peer
            if data[:2] in (b"\0\1", b"\0\2"):
                server = ("127.0.0.1", target)  # a new request goes to the listener
            queue.append((now + delay, back, data, server))
        else:
            server = peer
            queue.append((now + delay, front, data, None))
    while queue and queue[0][0] <= time.monotonic():
        _, s, data, to = queue.popleft()
        s.sendto(data, to if to is not None else client)
'''


def timed(lab, ns, args, out_path):
    start = time.monotonic()
    lab.ns_run(ns, *args)
    elapsed = time.monotonic() - start
    return elapsed, out_path


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest()


def best_of(runs, measure):
    return min(measure() for _ in range(runs))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--velkora", required=True)
    parser.add_argument("--megabytes", type=int, default=100)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    netns.require_root()
    for tool in ("curl", "atftp", "in.tftpd"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: apt-get install curl atftp tftpd-hpa")

    lab = netns.Lab("tb")
    ns = lab.namespace("b")
    # in.tftpd resolves its address with AI_ADDRCONFIG, which wants one address that is not a
    # loopback one: a private address on lo, reachable from nowhere.
    lab.ns_run(ns, "ip", "addr", "add", "10.211.0.1/32", "dev", "lo")
    os.chmod(lab.dir, 0o755)
    root = os.path.join(lab.dir, "root")
    os.makedirs(root)
    os.chmod(root, 0o755)
    source = os.path.join(root, "big.bin")
    with open(source, "wb") as f:
        for _ in range(args.megabytes):
            f.write(os.urandom(1 << 20))
    os.chmod(source, 0o644)
    expected = digest(source)
    out = os.path.join(lab.dir, "out.bin")

    registry = netns.write_config(lab.dir, {"TFTPEnable": 1, "TFTPPort": VELKORA_PORT, "TFTPMode": 0,
                                            "TFTPDirectory": root + "/", "Port": 16767, "Log": 1})
    # As the service runs (INVOCATION_ID set): the log goes to its file at level 1, not a
    # line per block to a console.
    velkora = subprocess.Popen(["ip", "netns", "exec", ns, "env", "INVOCATION_ID=bench",
                                f"TOLMARK_REGISTRY={registry}", os.path.abspath(args.velkora)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    hpa = subprocess.Popen(["ip", "netns", "exec", ns, "in.tftpd", "-4", "-L", "-u", "root", "-a",
                            f"127.0.0.1:{HPA_PORT}", "-s", root])
    relay = None
    try:
        time.sleep(1.0)

        def curl(port, blksize):
            def measure():
                elapsed, _ = timed(lab, ns, ["curl", "-sS", "--tftp-blksize", str(blksize), "-o", out,
                                             f"tftp://127.0.0.1:{port}/big.bin"], out)
                if digest(out) != expected:
                    sys.exit(f"corrupted download from port {port} with blksize {blksize}")
                return elapsed
            return best_of(args.runs, measure)

        mb = args.megabytes
        print(f"{mb} MB over loopback with curl (best of {args.runs}):")
        print(f"{'blksize':>8} {'Velkora s':>10} {'MB/s':>8} {'tftpd-hpa s':>12} {'MB/s':>8} {'ratio':>6}")
        hpa_times = {}
        for blksize in (512, 1468, 8192):
            ours = curl(VELKORA_PORT, blksize)
            theirs = hpa_times[blksize] = curl(HPA_PORT, blksize)
            print(f"{blksize:>8} {ours:>10.2f} {mb / ours:>8.1f} {theirs:>12.2f} {mb / theirs:>8.1f} "
                  f"{theirs / ours:>6.2f}")
        # The same with unicast reads served from the shared mapping ("TFTPmmf" 3), set as the
        # manager does, through the control pipe.
        lab.ns_run(ns, "env", f"TOLMARK_REGISTRY={registry}", sys.executable,
                   os.path.join(os.path.dirname(netns.__file__), "tftp_settings.py"), "TFTPmmf=3")
        print("with TFTPmmf=3 (unicast reads from the shared mapping):")
        for blksize in (512, 1468, 8192):
            ours = curl(VELKORA_PORT, blksize)
            print(f"{blksize:>8} {ours:>10.2f} {mb / ours:>8.1f} {hpa_times[blksize]:>12.2f} "
                  f"{mb / hpa_times[blksize]:>8.1f} {hpa_times[blksize] / ours:>6.2f}")

        relay = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, "-c", RELAY, str(RELAY_PORT),
                                  str(VELKORA_PORT), "0.001", "600"], stdout=subprocess.PIPE, text=True)
        relay.stdout.readline()

        def windowed(window):
            options = ["--option", "blksize 1468"]
            if window > 1:
                options += ["--option", f"windowsize {window}"]
            elapsed, _ = timed(lab, ns, ["atftp", *options, "-g", "-r", "big.bin", "-l", out, "127.0.0.1",
                                         str(RELAY_PORT)], out)
            if digest(out) != expected:
                sys.exit(f"corrupted download with windowsize {window}")
            return elapsed

        one = windowed(1)
        sixteen = windowed(16)
        print(f"\n{mb} MB from Velkora with atftp, blksize 1468, through 1 ms of delay each way:")
        print(f"  windowsize 1: {one:.2f} s ({mb / one:.1f} MB/s)")
        print(f"  windowsize 16: {sixteen:.2f} s ({mb / sixteen:.1f} MB/s)")
        print(f"  ratio: {one / sixteen:.1f}x")
    finally:
        for p in (relay, hpa, velkora):
            if p is not None:
                p.kill()
                p.wait()
        lab.close()


if __name__ == "__main__":
    main()
