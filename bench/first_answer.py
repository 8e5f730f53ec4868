"""Whole-process figure: how long after its start a server with a large dynamic file answers
its first DISCOVER. Run by hand as root:

    sudo python3 bench/first_answer.py --velkora build/default/bin/Velkora --leases 1000000

Makes a dynamic file of --leases current leases (one pool, in address order, as the server
writes it), starts `Velkora -debug` (or, with --service, as the service starts) in a network namespace of its own that has only the
loopback device, and sends a DISCOVER of a new client to 127.0.0.2 every few milliseconds from
the moment the process is started until the OFFER comes back (the server serves 127.0.0.2, an
address the script gives the namespace's loopback device). Prints the time from the start
to the first OFFER, and the server's resident memory once it answers. Everything stays on the
namespace's loopback device; bounded by --seconds."""

import argparse
import os
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402

BASE = (127 << 24) | (64 << 16)  # the pool: 127.64.0.0 on, inside the loopback network

CLIENT = r'''
import socket, struct, sys, time, os
seconds, pid_file = float(sys.argv[1]), sys.argv[2]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", 68))
s.settimeout(0.002)
p = bytearray(240)
p[0:3] = b"\x01\x01\x06"
p[4:8] = struct.pack("!I", 0x5eed)
p[28:34] = b"\x02\xfe\xed\x00\x00\x01"
p[236:240] = b"\x63\x82\x53\x63"
p += bytes([53, 1, 1, 255]) + bytes(56)
start = float(open(pid_file).read().split()[1])
sent = 0
while time.time() - start < seconds:
    try:
        s.sendto(bytes(p), ("127.0.0.2", 67))
        sent += 1
    except OSError:
        pass
    try:
        data = s.recv(2048)
    except (socket.timeout, OSError):
        continue
    if len(data) > 242 and data[0] == 2 and data[4:8] == p[4:8]:
        print(f"{time.time() - start:.3f} {sent}")
        sys.exit(0)
print("none", sent)
sys.exit(1)
'''


def write_dynamic(path, leases, expiry):
    with open(path, "w") as f:
        for i in range(leases):
            a = BASE + i
            f.write(f"02:00:{i & 255:02x}:{(i >> 8) & 255:02x}:{(i >> 16) & 255:02x}:{i >> 24:02x}\t"
                    f"{a >> 24}.{(a >> 16) & 255}.{(a >> 8) & 255}.{a & 255}\t:{expiry}\tBench\n")


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--velkora", required=True)
    p.add_argument("--leases", type=int, default=1000000)
    p.add_argument("--seconds", type=float, default=30)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--service", action="store_true",
                   help="start it as the service starts (log level 1) instead of with -debug, which logs "
                        "every line of the file to the console")
    args = p.parse_args()
    netns.require_root()
    lab = netns.Lab("fa")
    try:
        ns = lab.namespace("s")
        # 127.0.0.1 is never served; the server serves 127.0.0.2 on the loopback device.
        lab.ns_run(ns, "ip", "addr", "add", "127.0.0.2/8", "dev", "lo")
        registry = netns.write_config(lab.dir, {"Log": "1", "Profile0": "Bench"})
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            f.write(f"[Bench]\nInterfaceIP=127.0.0.2\nBaseIP=127.64.0.0\nRange={1 << 22}\n"
                    "SubnetMask=255.0.0.0\nLease=86400\n")
        dynamic = os.path.join(lab.dir, "dynamic")
        write_dynamic(dynamic, args.leases, int(time.time()) + 86400)
        pristine = dynamic + ".pristine"
        os.replace(dynamic, pristine)
        print(f"{args.leases} leases, {os.path.getsize(pristine)} bytes")
        stamp = os.path.join(lab.dir, "started")
        with open(os.path.join(lab.dir, "client.py"), "w") as f:
            f.write(CLIENT)
        for run in range(args.runs):
            subprocess.run(["cp", pristine, dynamic], check=True)
            subprocess.run(["sync"], check=True)
            if os.path.exists(stamp):
                os.unlink(stamp)
            # The client waits on its own side of the namespace; the server's start is stamped
            # just before it is started.
            client = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, "-c",
                                       "import time,os,sys\n"
                                       f"while not os.path.exists({stamp!r}): time.sleep(0.0005)\n"
                                       "time.sleep(0.001)\n" + "exec(open(sys.argv[3]).read())",
                                       str(args.seconds), stamp, os.path.join(lab.dir, "client.py")],
                                      stdout=subprocess.PIPE, text=True)
            time.sleep(0.3)
            with open(stamp + ".tmp", "w") as f:
                f.write(f"0 {time.time():.6f}\n")
            command = [os.path.abspath(args.velkora)] + ([] if args.service else ["-debug"])
            env = dict(os.environ, TOLMARK_REGISTRY=registry)
            if args.service:
                env["INVOCATION_ID"] = "first-answer"  # runs as under systemd
            server = subprocess.Popen(["ip", "netns", "exec", ns] + command, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, env=env)
            os.replace(stamp + ".tmp", stamp)
            out, _ = client.communicate(timeout=args.seconds + 10)
            pid = subprocess.run(["pgrep", "-P", str(server.pid)], capture_output=True, text=True).stdout.split()
            rss = resident_kib(int(pid[0])) if pid else resident_kib(server.pid)
            server.terminate()
            try:
                server.wait(timeout=20)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
            fields = out.split()
            if fields and fields[0] != "none":
                print(f"run {run + 1}: first OFFER {float(fields[0]):.3f} s after the start "
                      f"({fields[1]} DISCOVERs sent), resident {rss / 1024:.0f} MiB "
                      f"({rss * 1024 / max(args.leases, 1):.0f} bytes per lease)")
            else:
                print(f"run {run + 1}: no OFFER within {args.seconds} s")
    finally:
        lab.close()


if __name__ == "__main__":
    main()
