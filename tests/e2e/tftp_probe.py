"""A small TFTP client for the scenarios that need what ordinary clients do not do: never
acknowledge, send an ERROR, hold transfers open, or send raw requests. Run inside
the client's namespace; prints one JSON object.

    tftp_probe.py silent SERVER PORT NAME SECONDS
    tftp_probe.py abort SERVER PORT NAME CODE TEXT
    tftp_probe.py raw SERVER PORT OPCODE NAME MODE [OPTION VALUE]...
    tftp_probe.py limits SERVER PORT NAME [THIRD_ADDRESS]
    tftp_probe.py master SERVER PORT NAME SECONDS
    tftp_probe.py twice SERVER PORT NAME WINDOW
"""

import json
import socket
import struct
import sys
import time


def request(opcode, name, mode="octet", options=()):
    return struct.pack("!H", opcode) + b"".join(text.encode() + b"\0" for text in (name, mode, *options))


def new_socket(timeout):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(timeout)
    return s


def describe(packet):
    opcode = struct.unpack("!H", packet[:2])[0] if len(packet) >= 2 else 0
    if opcode == 5:
        code = struct.unpack("!H", packet[2:4])[0]
        return {"opcode": 5, "code": code, "text": packet[4:].split(b"\0")[0].decode(errors="replace")}
    if opcode == 6:
        return {"opcode": 6, "options": [field.decode() for field in packet[2:].split(b"\0")[:-1]]}
    return {"opcode": opcode, "block": struct.unpack("!H", packet[2:4])[0] if len(packet) >= 4 else None,
            "size": len(packet) - 4}


def silent(server, port, name, seconds):
    """Asks for a file and never acknowledges: the DATA packets that arrive, with their times."""
    s = new_socket(0.2)
    start = time.monotonic()
    s.sendto(request(1, name), (server, port))
    arrivals = []
    while time.monotonic() - start < seconds:
        try:
            packet, _ = s.recvfrom(70000)
        except socket.timeout:
            continue
        info = describe(packet)
        info["at"] = round(time.monotonic() - start, 2)
        arrivals.append(info)
    return {"packets": arrivals}


def abort(server, port, name, code, text):
    """Takes the first block, then answers with an ERROR."""
    s = new_socket(5)
    s.sendto(request(1, name), (server, port))
    packet, peer = s.recvfrom(70000)
    s.sendto(struct.pack("!HH", 5, int(code)) + text.encode() + b"\0", peer)
    return {"first": describe(packet)}


def answer(s):
    """The next datagram described, with the port it came from; None when none came in time."""
    try:
        packet, peer = s.recvfrom(70000)
    except socket.timeout:
        return None
    return dict(describe(packet), from_port=peer[1])


def raw(server, port, opcode, name, mode, *options):
    s = new_socket(3)
    s.sendto(request(int(opcode), name, mode, options), (server, port))
    reply = answer(s)
    if reply and reply["opcode"] in (3, 6):  # a read began: it ends here, its slot is free again
        s.sendto(struct.pack("!HH", 5, 0) + b"probe done\0", (server, reply["from_port"]))
    return {"reply": reply}


def limits(server, port, name, third_address=None):
    """Two transfers held open without acknowledging, then a third request (from another
    address of the client's, when given): what it gets."""
    holders = [new_socket(3) for _ in range(2)]
    ports = []
    for h in holders:
        h.sendto(request(1, name), (server, port))
        _, peer = h.recvfrom(70000)
        ports.append(peer[1])
    third = new_socket(1.5)
    if third_address:
        third.bind((third_address, 0))
    third.sendto(request(1, name), (server, port))
    return {"data_ports": ports, "third": answer(third)}


def master(server, port, name, seconds):
    """Asks for a file with the multicast option, takes the OACK that makes it the group's
    master, acknowledges nothing for the given time and then leaves with an ERROR."""
    s = new_socket(5)
    s.sendto(request(1, name) + b"multicast\0\0", (server, port))
    packet, peer = s.recvfrom(70000)
    time.sleep(seconds)
    s.sendto(struct.pack("!HH", 5, 0) + b"leaving\0", peer)
    return {"oack": [field.decode() for field in packet[2:].split(b"\0")[:-1]]}


def twice(server, port, name, window):
    """Reads a file acknowledging every ACK twice, as some boot ROMs do ("windowsize" when WINDOW
    is above 1): the DATA packets that came, and the bytes of the file."""
    window = int(window)
    s = new_socket(3)
    options = b"windowsize\0%d\0" % window if window > 1 else b""
    s.sendto(request(1, name) + options, (server, port))
    content, expected, since_ack, data_packets, peer = bytearray(), 1, 0, 0, None
    while True:
        try:
            packet, peer = s.recvfrom(70000)
        except socket.timeout:
            break
        opcode, block = struct.unpack("!HH", packet[:4])
        if opcode == 6:
            for _ in range(2):
                s.sendto(struct.pack("!HH", 4, 0), peer)
            continue
        if opcode != 3:
            break
        data_packets += 1
        if block != expected:
            continue
        content += packet[4:]
        expected = (expected + 1) & 0xFFFF
        since_ack += 1
        last = len(packet) - 4 < 512
        if since_ack == window or last:
            since_ack = 0
            for _ in range(2):
                s.sendto(struct.pack("!HH", 4, block), peer)
        if last:
            s.settimeout(1.5)  # blocks sent again after the end are counted too
    return {"data": data_packets, "bytes": len(content)}


def main():
    args = sys.argv[1:]
    command, server, port = args[0], args[1], int(args[2])
    rest = args[3:]
    if command == "silent":
        result = silent(server, port, rest[0], float(rest[1]))
    elif command == "abort":
        result = abort(server, port, *rest)
    elif command == "raw":
        result = raw(server, port, *rest)
    elif command == "twice":
        result = twice(server, port, rest[0], rest[1])
    elif command == "master":
        result = master(server, port, rest[0], float(rest[1]))
    else:
        result = limits(server, port, *rest)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
