"""Whole-process figure: how many new leases per second Velkora hands out, measured from a
client namespace over a veth pair. Run by hand as root:

    sudo python3 bench/dhcp_load.py --velkora build/default/bin/Velkora --count 20000

The client sends REQUESTs from new hardware addresses (each one a new lease) in windows of at
most --window outstanding requests and counts the ACKs. Bounded by --count and --seconds."""

import argparse
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402

CLIENT = r'''
import socket, struct, sys, time
count, window, seconds, device = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, 25, device.encode())
s.bind(("0.0.0.0", 68))
s.settimeout(0.5)
def request(i):
    p = bytearray(240)
    p[0:3] = b"\x01\x01\x06"
    p[4:8] = struct.pack("!I", i)
    p[28:34] = b"\x02\xbb" + struct.pack("!I", i)
    p[236:240] = b"\x63\x82\x53\x63"
    p += bytes([53, 1, 3, 255]) + bytes(56)
    return bytes(p)
sent = acked = 0
start = time.monotonic()
while acked < count and time.monotonic() - start < seconds:
    while sent - acked < window and sent < count:
        s.sendto(request(sent), ("255.255.255.255", 67))
        sent += 1
    try:
        data = s.recv(2048)
        if len(data) > 242 and data[0] == 2:
            acked += 1
    except socket.timeout:
        sent = acked  # replies lost: refill the window
elapsed = time.monotonic() - start
print(f"{acked} leases in {elapsed:.2f} s: {acked / elapsed:.0f} per second")
'''


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--velkora", required=True)
    p.add_argument("--count", type=int, default=10000)
    p.add_argument("--window", type=int, default=32)
    p.add_argument("--seconds", type=float, default=60)
    args = p.parse_args()
    netns.require_root()
    lab = netns.Lab("ld")
    try:
        srv = lab.namespace("s")
        cli = lab.namespace("c")
        _, dev = lab.link(srv, "10.87.0.1/16", cli, None, f"{lab.prefix}x")
        registry = netns.write_config(lab.dir, {"Log": "0", "Profile0": "Load"})
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            f.write("[Load]\nInterfaceIP=10.87.0.1\nBaseIP=10.87.1.0\nRange=60000\nSubnetMask=255.255.0.0\n")
        # The service mode logs nothing with "Log" 0, so the console costs nothing either.
        server = netns.Process(["ip", "netns", "exec", srv, os.path.abspath(args.velkora)],
                               env={"TOLMARK_REGISTRY": registry, "INVOCATION_ID": "bench"})
        time.sleep(1.0)
        out = lab.ns_run(cli, sys.executable, "-c", CLIENT, str(args.count), str(args.window), str(args.seconds),
                         dev).stdout
        print(out.strip())
        server.kill()
    finally:
        lab.close()


if __name__ == "__main__":
    main()
