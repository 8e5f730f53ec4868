"""Broadcasts one DHCP DISCOVER on a device and prints every reply that arrives within the
time limit, one JSON object per line: source address, yiaddr and message type."""

import argparse
import json
import os
import socket
import struct
import time

SO_BINDTODEVICE = 25


def discover(hw, xid, pad=0):
    packet = bytearray(240 + pad)
    packet[0] = 1
    packet[1] = 1
    packet[2] = 6
    packet[4:8] = struct.pack("!I", xid)
    packet[28:34] = hw
    packet[236:240] = b"\x63\x82\x53\x63"
    packet += bytes([53, 1, 1, 55, 3, 1, 3, 6, 255])
    packet += bytes(max(0, 300 - len(packet)))
    return bytes(packet)


def message_type(data):
    p = 240
    while p + 1 < len(data):
        code = data[p]
        if code == 255:
            break
        if code == 0:
            p += 1
            continue
        if code == 53 and p + 2 < len(data):
            return data[p + 2]
        p += 2 + data[p + 1]
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--device", required=True)
    p.add_argument("--hw", default="02:00:00:00:00:01")
    p.add_argument("--port", type=int, default=67)
    p.add_argument("--timeout", type=float, default=1.5)
    p.add_argument("--pad", type=int, default=0, help="pad options before the message type")
    args = p.parse_args()
    hw = bytes(int(x, 16) for x in args.hw.split(":"))
    xid = int.from_bytes(os.urandom(4), "big")
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, args.device.encode())
    s.bind(("0.0.0.0", args.port + 1))
    s.sendto(discover(hw, xid, args.pad), ("255.255.255.255", args.port))
    deadline = time.monotonic() + args.timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        s.settimeout(left)
        try:
            data, (src, _) = s.recvfrom(2048)
        except socket.timeout:
            break
        if len(data) < 240 or data[0] != 2 or struct.unpack("!I", data[4:8])[0] != xid:
            continue
        print(json.dumps({"src": src, "yiaddr": socket.inet_ntoa(data[16:20]), "type": message_type(data),
                          "length": len(data)}), flush=True)


if __name__ == "__main__":
    main()
