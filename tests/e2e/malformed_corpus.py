"""Sends a bounded corpus of malformed BOOTP/DHCP datagrams to a server: truncated headers and
options, option lengths running past the end, oversized hlen, huge parameter lists, relay
information with broken sub-options, and random bytes. Fixed seed, fixed count."""

import argparse
import random
import socket
import struct
import time

COOKIE = b"\x63\x82\x53\x63"


def header(rng, hlen=6):
    h = bytearray(236)
    h[0] = 1
    h[1] = 1
    h[2] = hlen
    h[4:8] = struct.pack("!I", rng.getrandbits(32))
    h[28:34] = bytes([2, 0xee]) + rng.randbytes(4)
    return h


def corpus(rng, count):
    for i in range(count):
        kind = i % 8
        if kind == 0:  # option whose length runs past the end
            yield bytes(header(rng)) + COOKIE + bytes([53, 1, 1, 12, 200]) + b"x" * rng.randint(0, 50)
        elif kind == 1:  # length byte missing at the very end
            yield bytes(header(rng)) + COOKIE + bytes([53, 1, 3, 61])
        elif kind == 2:  # hlen far above 16
            yield bytes(header(rng, hlen=255)) + COOKIE + bytes([53, 1, 1, 255])
        elif kind == 3:  # a parameter list of 255 codes, some 0
            yield bytes(header(rng)) + COOKIE + bytes([53, 1, 1, 55, 255]) + rng.randbytes(255) + b"\xff"
        elif kind == 4:  # relay information whose sub-option runs past it
            yield bytes(header(rng)) + COOKIE + bytes([53, 1, 1, 82, 4, 1, 40, 1, 2, 255])
        elif kind == 5:  # truncated header
            yield bytes(header(rng))[: rng.randint(0, 235)]
        elif kind == 6:  # random options after a valid start
            yield bytes(header(rng)) + COOKIE + rng.randbytes(rng.randint(0, 1200))
        else:  # random bytes that begin like a request
            yield b"\x01" + rng.randbytes(rng.randint(0, 1499))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--to", required=True)
    p.add_argument("--bind", required=True)
    p.add_argument("--port", type=int, default=67)
    p.add_argument("--count", type=int, default=400)
    p.add_argument("--seconds", type=float, default=0, help="repeat the corpus as fast as possible this long")
    args = p.parse_args()
    rng = random.Random(20261207)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((args.bind, 0))
    datagrams = list(corpus(rng, args.count))
    sent = 0
    deadline = time.monotonic() + args.seconds
    # Bounded in time and in count: at most 20 million datagrams.
    while sent < 20_000_000:
        for datagram in datagrams:
            try:
                s.sendto(datagram, (args.to, args.port))
            except OSError:
                pass
        sent += len(datagrams)
        if time.monotonic() >= deadline:
            break
    print(f"sent {sent}", flush=True)


if __name__ == "__main__":
    main()
