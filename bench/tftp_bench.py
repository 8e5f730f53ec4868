"""Whole-process TFTP figures, Velkora and tftpd-hpa in one run: a file downloaded on loopback
with curl one block at a time (block sizes 512, 1468, 8192) from Velkora reading the file
("TFTPmmf" 0), Velkora serving it from the shared mapping ("TFTPmmf" 3) and tftpd-hpa; then
with atftp at windowsize 1 and 16 (8 at 8192) from both Velkoras (tftpd-hpa does not know windowsize and
is shown one block at a time with the same client). Each figure is the best of --runs: the
shortest time, and the least server CPU time per MB (process and threads; for tftpd-hpa also
the child it forks for each transfer). Every copy is checked byte for byte. Run by hand as
root; everything happens on the loopback of a network namespace the script creates:

    sudo python3 bench/tftp_bench.py --velkora build/default/bin/Velkora

Needs curl, atftp and tftpd-hpa (apt-get install curl atftp tftpd-hpa; its in.tftpd is started
by hand inside the namespace, the package's own service is not used)."""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402
from boot_storm import digest  # noqa: E402
from process_usage import Usage  # noqa: E402

BLOCK_SIZES = (512, 1468, 8192)
# The window at each block size: 16, but 8 with 8192-byte blocks, whose window of 16 (about
# 270 kB of socket buffer on loopback) overflows atftp's receive buffer (208 kB by default):
# every window then loses its end and waits out a time-out.
WINDOWS = {512: 16, 1468: 16, 8192: 8}


class Server:
    def __init__(self, name, port, proc):
        self.name = name
        self.port = port
        self.proc = proc
        self.usage = Usage(name, proc.pid)


def start_velkora(lab, ns, velkora, name, port, mmf):
    directory = os.path.join(lab.dir, name)
    os.makedirs(directory)
    # "TFTPMMFmax" (32 MB by default) raised so that the file is mapped whatever its size.
    registry = netns.write_config(directory, {"TFTPEnable": 1, "TFTPPort": port, "TFTPMode": 0,
                                              "TFTPDirectory": os.path.join(lab.dir, "root") + "/",
                                              "TFTPmmf": mmf, "TFTPMMFmax": 0x7FFFFFFF, "Port": port + 1000,
                                              "Log": 1})
    # As the service runs (INVOCATION_ID set): the log goes to its file at level 1, not a line
    # per block to a console.
    proc = subprocess.Popen(["ip", "netns", "exec", ns, "env", "INVOCATION_ID=bench", f"TOLMARK_REGISTRY={registry}",
                             f"TOLMARK_PIPE=tkbench{os.getpid()}{name}", os.path.abspath(velkora)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return Server(name, port, proc)


def start_hpa(lab, ns, port):
    # in.tftpd resolves its address with AI_ADDRCONFIG, which wants one address that is not a
    # loopback one: a private address on lo, reachable from nowhere.
    lab.ns_run(ns, "ip", "addr", "add", "10.211.0.1/32", "dev", "lo")
    proc = subprocess.Popen(["ip", "netns", "exec", ns, "in.tftpd", "-4", "-L", "-u", "root", "-a",
                             f"127.0.0.1:{port}", "-s", os.path.join(lab.dir, "root")])
    return Server("tftpd-hpa", port, proc)


def measure(lab, ns, server, command, out, expected, megabytes, runs):
    """Best time and best CPU ms per MB over runs of the client command."""
    times, cpus = [], []
    for _ in range(runs):
        before = server.usage.cpu_seconds()
        start = time.monotonic()
        lab.ns_run(ns, *command)
        elapsed = time.monotonic() - start
        time.sleep(0.2)  # the transfer's last ACK and the child's exit
        cpu = server.usage.cpu_seconds() - before
        if digest(out) != expected:
            sys.exit(f"corrupted download from {server.name}: {' '.join(command)}")
        times.append(elapsed)
        cpus.append(cpu * 1000 / megabytes)
    return min(times), min(cpus)


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
    mb = args.megabytes

    servers = []
    try:
        servers = [start_velkora(lab, ns, args.velkora, "unmapped", 16969, 0),
                   start_velkora(lab, ns, args.velkora, "mapped", 16971, 3),
                   start_hpa(lab, ns, 16970)]
        time.sleep(1.0)
        velkora_unmapped, velkora_mapped, hpa = servers
        if not hpa.usage.counts_children():
            print("note: no cgroup2 mount to use: tftpd-hpa's CPU time leaves out its forked children")

        def curl(server, blksize):
            return measure(lab, ns, server, ["curl", "-sS", "--tftp-blksize", str(blksize), "-o", out,
                                             f"tftp://127.0.0.1:{server.port}/big.bin"], out, expected, mb, args.runs)

        def atftp(server, blksize, window):
            options = ["--option", f"blksize {blksize}"]
            if window > 1:
                options += ["--option", f"windowsize {window}"]
            return measure(lab, ns, server, ["atftp", *options, "-g", "-r", "big.bin", "-l", out, "127.0.0.1",
                                             str(server.port)], out, expected, mb, args.runs)

        print(f"{mb} MB over loopback, best of {args.runs}; CPU = server CPU ms per MB")
        print(f"\ncurl, one block at a time:")
        print(f"{'blksize':>8} {'server':>18} {'time s':>8} {'MB/s':>7} {'CPU':>7} {'hpa/this time':>14} "
              f"{'CPU/hpa':>8}")
        one_at_a_time = {}
        for blksize in BLOCK_SIZES:
            figures = {s.name: curl(s, blksize) for s in (velkora_unmapped, velkora_mapped, hpa)}
            hpa_time, hpa_cpu = figures["tftpd-hpa"]
            for name, (elapsed, cpu) in figures.items():
                one_at_a_time[(name, blksize)] = cpu
                print(f"{blksize:>8} {name:>18} {elapsed:>8.2f} {mb / elapsed:>7.1f} {cpu:>7.2f} "
                      f"{hpa_time / elapsed:>14.2f} {cpu / hpa_cpu:>8.2f}")

        print(f"\natftp, windowsize 1 and 16 (8 at 8192; tftpd-hpa one block at a time with the same client):")
        print(f"{'blksize':>8} {'server':>18} {'window':>7} {'time s':>8} {'MB/s':>7} {'CPU':>7} {'CPU/window 1':>13}")
        for blksize in BLOCK_SIZES:
            for server in (velkora_unmapped, velkora_mapped):
                single = atftp(server, blksize, 1)
                windowed = atftp(server, blksize, WINDOWS[blksize])
                for window, (elapsed, cpu) in ((1, single), (WINDOWS[blksize], windowed)):
                    print(f"{blksize:>8} {server.name:>18} {window:>7} {elapsed:>8.2f} {mb / elapsed:>7.1f} "
                          f"{cpu:>7.2f} {cpu / single[1]:>13.2f}")
            elapsed, cpu = atftp(hpa, blksize, 1)
            print(f"{blksize:>8} {hpa.name:>18} {1:>7} {elapsed:>8.2f} {mb / elapsed:>7.1f} {cpu:>7.2f}")
    finally:
        for server in servers:
            server.proc.kill()
            server.proc.wait()
        lab.close()
        for server in servers:
            server.usage.close()


if __name__ == "__main__":
    main()
