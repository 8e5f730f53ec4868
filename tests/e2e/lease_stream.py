"""Streams DHCP REQUESTs from new hardware addresses (each one a new lease) until its standard
input closes or the count runs out. Used by the durability scenario."""

import argparse
import os
import select
import socket
import struct
import sys
import time

SO_BINDTODEVICE = 25


def request(index):
    packet = bytearray(240)
    packet[0:3] = b"\x01\x01\x06"
    packet[4:8] = struct.pack("!I", index)
    packet[28:34] = b"\x02\xaa" + struct.pack("!I", index)
    packet[236:240] = b"\x63\x82\x53\x63"
    packet += bytes([53, 1, 3, 255])
    packet += bytes(300 - len(packet))
    return bytes(packet)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--device", required=True)
    p.add_argument("--count", type=int, default=200000)
    p.add_argument("--interval", type=float, default=0.004)
    p.add_argument("--start", type=int, default=int.from_bytes(os.urandom(3), "big") << 8)
    args = p.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, args.device.encode())
    s.bind(("0.0.0.0", 68))
    for i in range(args.count):
        if select.select([sys.stdin], [], [], 0)[0] and not sys.stdin.readline():
            break
        try:
            s.sendto(request(args.start + i), ("255.255.255.255", 67))
        except OSError:
            pass
        time.sleep(args.interval)


if __name__ == "__main__":
    main()
