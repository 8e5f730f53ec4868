"""A DHCP client for many hardware addresses at once, run in a client namespace: full exchanges
(DISCOVER, the first OFFER taken, REQUEST) and rebinding renewals (REQUEST with the address as
ciaddr, broadcast, for whichever server answers, or sent to one server alone, as a client renews
before its T2). Prints one JSON object per client: {"mac", "server", "address", "type", "lease"};
server, address and lease are null without an answer.

    dhcp_exchange.py --device DEV dora 02:00:00:00:00:01 02:00:00:00:00:02@10.0.0.1 ...
    dhcp_exchange.py --device DEV rebind 02:00:00:00:00:01=10.84.0.100 ...
    dhcp_exchange.py --device DEV rebind 02:00:00:00:00:01=10.84.0.100@10.84.0.1 ...
"""

import argparse
import json
import os
import select
import socket
import struct
import time

SO_BINDTODEVICE = 25
DISCOVER, OFFER, REQUEST, ACK, NAK = 1, 2, 3, 5, 6


def packet(mac, xid, kind, ciaddr="0.0.0.0", requested=None, server=None):
    p = bytearray(240)
    p[0:3] = b"\x01\x01\x06"
    p[4:8] = struct.pack("!I", xid)
    p[10:12] = b"\x80\x00"  # broadcast: the client has no address to be answered at
    p[12:16] = socket.inet_aton(ciaddr)
    p[28:34] = mac
    p[236:240] = b"\x63\x82\x53\x63"
    p += bytes([53, 1, kind])
    if requested:
        p += bytes([50, 4]) + socket.inet_aton(requested)
    if server:
        p += bytes([54, 4]) + socket.inet_aton(server)
    p += bytes([55, 2, 1, 3, 255])
    p += bytes(max(0, 300 - len(p)))
    return bytes(p)


def options(data):
    found, p = {}, 240
    while p + 1 < len(data) and data[p] != 255:
        if data[p] == 0:
            p += 1
            continue
        found[data[p]] = data[p + 2:p + 2 + data[p + 1]]
        p += 2 + data[p + 1]
    return found


class Exchange:
    def __init__(self, device):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, device.encode())
        self.s.bind(("0.0.0.0", 68))

    def ask(self, data, xid, want, timeout, prefer=None, to="255.255.255.255"):
        """Sends and returns the first reply of a wanted type for the xid, or None. With prefer (a
        server identifier), the first reply of that server, or at the time-out the first of any."""
        self.s.sendto(data, (to, 67))
        deadline = time.monotonic() + timeout
        first = None
        while (left := deadline - time.monotonic()) > 0:
            if not select.select([self.s], [], [], left)[0]:
                break
            reply = self.s.recv(2048)
            if len(reply) < 240 or struct.unpack("!I", reply[4:8])[0] != xid:
                continue
            opts = options(reply)
            if opts.get(53, b"\x00")[0] not in want:
                continue
            if prefer is None or opts.get(54) == socket.inet_aton(prefer):
                return reply, opts
            first = first or (reply, opts)
        return first

    def result(self, mac, found, kind_name=None):
        if found is None:
            return {"mac": mac, "server": None, "address": None, "type": kind_name, "lease": None}
        reply, opts = found
        kind = {OFFER: "offer", ACK: "ack", NAK: "nak"}.get(opts[53][0], "other")
        return {"mac": mac, "server": socket.inet_ntoa(opts.get(54, b"\0\0\0\0")),
                "address": socket.inet_ntoa(reply[16:20]), "type": kind,
                "lease": struct.unpack("!I", opts[51])[0] if len(opts.get(51, b"")) == 4 else None}

    def dora(self, client, timeout):
        # "MAC@SERVER" takes that server's offer when it comes within the time-out.
        mac_text, _, prefer = client.partition("@")
        mac = bytes(int(x, 16) for x in mac_text.split(":"))
        xid = int.from_bytes(os.urandom(4), "big")
        offer = self.ask(packet(mac, xid, DISCOVER), xid, (OFFER,), timeout, prefer or None)
        if offer is None:
            return self.result(mac_text, None)
        address = socket.inet_ntoa(offer[0][16:20])
        server = socket.inet_ntoa(offer[1][54])
        return self.result(mac_text, self.ask(packet(mac, xid, REQUEST, requested=address, server=server), xid,
                                              (ACK, NAK), timeout))

    def rebind(self, pair, timeout):
        # "MAC=ADDRESS", or "MAC=ADDRESS@SERVER" to ask that server alone.
        mac_text, _, rest = pair.partition("=")
        address, _, server = rest.partition("@")
        mac = bytes(int(x, 16) for x in mac_text.split(":"))
        xid = int.from_bytes(os.urandom(4), "big")
        return self.result(mac_text, self.ask(packet(mac, xid, REQUEST, ciaddr=address), xid, (ACK, NAK), timeout,
                                              to=server or "255.255.255.255"))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--device", required=True)
    p.add_argument("--timeout", type=float, default=3.0)
    p.add_argument("command", choices=("dora", "rebind"))
    p.add_argument("clients", nargs="+")
    args = p.parse_args()
    exchange = Exchange(args.device)
    for client in args.clients:
        out = exchange.dora(client, args.timeout) if args.command == "dora" else exchange.rebind(client, args.timeout)
        print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
