"""A control pipe peer for scenarios: one request at a time over the local socket or TCP, and
the holders an attacker would use (idle connections, open files, a squatted socket name).
Run as a program it holds what it is told to until it is killed."""

import argparse
import os
import socket
import struct
import sys
import time

FILE_FIND_FIRST = 41
FILE_OPEN = 44
GET_SETTINGS = 1
RELOAD_PROFILES = 18
PURGE_DYNAMIC = 19


def pipe_name():
    return os.environ.get("TOLMARK_PIPE", "tolmark_dhcp_server")


def local_socket(name=None):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    s.settimeout(5)
    s.connect("\0" + (name or pipe_name()))
    return s


def tcp_socket(host, port):
    s = socket.create_connection((host, port), timeout=5)
    return s


def message(code, value=0, payload=b""):
    return struct.pack("<Ii", code, value) + payload


def transact_local(s, data):
    s.send(data)
    return s.recv(4096)


def transact_tcp(s, data):
    s.sendall(struct.pack("<I", len(data)) + data)
    head = b""
    while len(head) < 4:
        chunk = s.recv(4 - len(head))
        if not chunk:
            raise ConnectionError("closed")
        head += chunk
    (length,) = struct.unpack("<I", head)
    body = b""
    while len(body) < length:
        chunk = s.recv(length - len(body))
        if not chunk:
            raise ConnectionError("closed")
        body += chunk
    return body


def status(reply):
    return struct.unpack("<I", reply[:4])[0]


def still_open(s):
    """False once the server has closed the connection."""
    s.setblocking(False)
    try:
        return s.recv(1, socket.MSG_PEEK) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        s.setblocking(True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["hold-local", "hold-tcp", "squat", "churn-local"])
    p.add_argument("--count", type=int, default=1)
    p.add_argument("--files", type=int, default=0, help="files and searches to open on each connection")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--seconds", type=float, default=10, help="how long churn-local goes on")
    args = p.parse_args()
    held = []
    if args.mode == "churn-local":
        # Connections opened as fast as they can be and let go again, the newest 100 kept open.
        print("held 0 of 0", flush=True)
        end = time.monotonic() + args.seconds
        for _ in range(5_000_000):
            if time.monotonic() > end:
                break
            s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            s.setblocking(False)
            try:
                s.connect("\0" + pipe_name())
            except OSError:
                pass
            held.append(s)
            if len(held) > 100:
                held.pop(0).close()
        return 0
    if args.mode == "squat":
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        s.bind("\0" + pipe_name())
        s.listen(8)
        held.append(s)
    for _ in range(args.count if args.mode != "squat" else 0):
        try:
            s = local_socket() if args.mode == "hold-local" else tcp_socket(args.host, args.port)
        except OSError:
            continue
        held.append(s)
        for _ in range(args.files):
            try:
                transact_local(s, message(FILE_OPEN, 0, b"probe.log\0r\0"))
                transact_local(s, message(FILE_FIND_FIRST, 0, b"*\0"))
            except OSError:
                break
    # Connections the server has not taken from its queue yet look open: count until the number
    # stays the same for a second (at most 15 seconds).
    alive = -1
    settle = time.monotonic() + 15
    while time.monotonic() < settle:
        time.sleep(1.0)
        now = sum(1 for s in held if still_open(s))
        if now == alive:
            break
        alive = now
    print(f"held {alive} of {len(held)}", flush=True)
    # Bounded: the scenario kills the holder long before this runs out.
    deadline = time.monotonic() + 300
    while time.monotonic() < deadline:
        time.sleep(1)


if __name__ == "__main__":
    sys.exit(main())
