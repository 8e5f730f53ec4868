"""Sends one BOOTP-shaped datagram: op 1, the given hardware address at offset 28, zero-filled."""

import argparse
import socket

SO_BINDTODEVICE = 25


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, default=67)
    p.add_argument("--length", type=int, default=300)
    p.add_argument("--op", type=int, default=1)
    p.add_argument("--hw", default="00:11:22:33:44:55")
    p.add_argument("--bind", default="0.0.0.0")
    p.add_argument("--source-port", type=int, default=0)
    p.add_argument("--device")
    args = p.parse_args()

    data = bytearray(args.length)
    if args.length > 0:
        data[0] = args.op
    hw = bytes(int(x, 16) for x in args.hw.split(":"))
    for i, b in enumerate(hw):
        if 28 + i < len(data):
            data[28 + i] = b
    if len(data) >= 240:
        data[236:240] = b"\x63\x82\x53\x63"
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    if args.device:
        s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, args.device.encode())
    s.bind((args.bind, args.source_port))
    s.sendto(bytes(data), (args.to, args.port))


if __name__ == "__main__":
    main()
