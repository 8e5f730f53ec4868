"""What a hostile or careless TFTP peer does, for test_tftp_hostile.py. Run inside a client's
namespace; prints one JSON object.

    tftp_attacks.py requests SERVER < CASES   each case [opcode, name, options...]: the first reply
                                              to each request, then an ERROR that ends the transfer
                                              (none when the last item is "+silent")
    tftp_attacks.py downloads SERVER COUNT NAME   COUNT downloads of a one-block file, each name
                                              spelled differently ("./" repeated before NAME)
    tftp_attacks.py spoof FROM TO PAYLOAD_HEX [PORT]  one UDP datagram from FROM:PORT (69) to TO:69
                                              (raw socket)
    tftp_attacks.py overhear PORT SECONDS     what a bystander receives on PORT meanwhile
"""

import json
import socket
import struct
import sys
import time


def request(opcode, name, options=()):
    packet = struct.pack("!H", opcode) + name.encode() + b"\0octet\0"
    for option in options:
        packet += option.encode() + b"\0"
    return packet


def describe(packet, port):
    opcode = struct.unpack("!H", packet[:2])[0] if len(packet) >= 2 else 0
    if opcode == 5:
        return {"opcode": 5, "code": struct.unpack("!H", packet[2:4])[0],
                "text": packet[4:].split(b"\0")[0].decode(errors="replace"), "port": port}
    return {"opcode": opcode, "block": struct.unpack("!H", packet[2:4])[0] if len(packet) >= 4 else None,
            "size": len(packet) - 4, "port": port}


def requests(server, cases):
    replies = []
    for case in cases:
        silent = case[-1] == "+silent"
        case = case[:-1] if silent else case
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(3)
        s.sendto(request(case[0], case[1], case[2:]), (server, 69))
        try:
            packet, peer = s.recvfrom(70000)
        except socket.timeout:
            replies.append(None)
            continue
        reply = describe(packet, peer[1])
        if reply["opcode"] != 5 and not silent:
            # Whatever the transfer was, it ends here: an upload is abandoned.
            s.sendto(struct.pack("!HH", 5, 0) + b"abandoned\0", peer)
        replies.append(reply)
        s.close()
    return {"replies": replies}


def downloads(server, count, name):
    done = 0
    start = time.monotonic()
    for i in range(count):
        # A port of its own each time, as a new client would have; asked again, as a client
        # does, when no answer comes.
        for _attempt in range(3):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(1)
            s.sendto(request(1, "./" * (i % 40) + name), (server, 69))
            try:
                packet, peer = s.recvfrom(2048)
            except socket.timeout:
                s.close()
                continue
            if packet[:2] == b"\0\3":
                s.sendto(b"\0\4" + packet[2:4], peer)
                done += 1
            s.close()
            break
    return {"done": done, "seconds": round(time.monotonic() - start, 2)}


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def spoof(source, destination, payload, port=69):
    udp = struct.pack("!HHHH", port, 69, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                         socket.inet_aton(source), socket.inet_aton(destination))
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    s.sendto(header + udp, (destination, 0))
    return {"sent": len(payload)}


def overhear(port, seconds):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", port))
    s.settimeout(0.2)
    print(json.dumps({"listening": port}), flush=True)
    heard = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            s.recvfrom(70000)
            heard += 1
        except socket.timeout:
            pass
    return {"heard": heard}


def main():
    command = sys.argv[1]
    if command == "requests":
        result = requests(sys.argv[2], json.load(sys.stdin))
    elif command == "downloads":
        result = downloads(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    elif command == "overhear":
        result = overhear(int(sys.argv[2]), float(sys.argv[3]))
    else:
        result = spoof(sys.argv[2], sys.argv[3], bytes.fromhex(sys.argv[4]), *map(int, sys.argv[5:6]))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
