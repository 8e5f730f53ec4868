"""Host names in DNS: Velkora registers acknowledged clients' names with a real BIND 9 server
by dynamic update (A and PTR records, reverse zones by mask, a DHCID record that keeps a name
its client's), removes them when the lease ends, in network namespaces; and a silent DNS server
that holds up no lease save."""

import json
import os
import pwd
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
HOOK = os.path.join(HERE, "..", "..", "scripts", "client_hook.sh")
VELKORA = None

DNS_ADDRESS = "192.168.99.53"
# Three client segments whose profiles have masks /24, /16 and /8.
SEGMENTS = {
    "a": ("192.168.90.1", 24, "255.255.255.0", "192.168.90.100", "90.168.192.in-addr.arpa"),
    "b": ("172.20.0.1", 16, "255.255.0.0", "172.20.0.100", "20.172.in-addr.arpa"),
    "c": ("10.0.0.1", 8, "255.0.0.0", "10.0.0.100", "10.in-addr.arpa"),
    # A /24 under the one reverse zone the DNS server keeps for 172.16.0.0/16.
    "w": ("172.16.5.1", 24, "255.255.255.0", "172.16.5.100", "16.172.in-addr.arpa"),
    # A /16 whose DNS server keeps a reverse zone for each /24 in it.
    "v": ("172.21.0.1", 16, "255.255.0.0", "172.21.0.100", "0.21.172.in-addr.arpa"),
}
# A segment whose leases end within seconds, for names that go when a lease expires.
BRIEF = ("172.31.0.1", 24, "255.255.255.0", "172.31.0.100", "0.31.172.in-addr.arpa")
# A segment whose domain leaves a host label of 63 bytes a name of 253, the longest DNS name.
LONG = ("172.22.0.1", 24, "255.255.255.0", "172.22.0.100", "0.22.172.in-addr.arpa")
LONG_DOMAIN = "d" * 63 + "." + "o" * 63 + "." + "m" * 52 + ".lab.test"
# A segment whose profile names a DNS server that never answers.
SILENT = ("172.30.0.1", 24, "255.255.255.0", "172.30.0.100", "192.168.99.77")


def named_request(hw, xid, host_name, extra=b""):
    """A DHCP REQUEST of a new client with a host name (text, or the option's bytes) and more
    options; hw empty: a client without a hardware address (hlen 0)."""
    name = host_name.encode() if isinstance(host_name, str) else host_name
    packet = bytearray(240)
    packet[0:3] = bytes([1, 1, len(hw)])
    packet[4:8] = struct.pack("!I", xid)
    packet[28:28 + len(hw)] = hw
    packet[236:240] = b"\x63\x82\x53\x63"
    packet += bytes([53, 1, 3]) + (bytes([12, len(name)]) + name if name else b"") + extra + b"\xff"
    return bytes(packet) + bytes(max(0, 300 - len(packet)))
ZONE = "lab.test"


def named_config(directory):
    zones = [ZONE, LONG_DOMAIN] + [s[4] for s in SEGMENTS.values()] + [BRIEF[4], LONG[4]]
    with open(os.path.join(directory, "named.conf"), "w") as f:
        f.write(f'options {{ directory "{directory}"; listen-on {{ {DNS_ADDRESS}; }}; listen-on-v6 {{ none; }};\n'
                f'  pid-file "{directory}/named.pid"; recursion no; dnssec-validation no; notify no; }};\n')
        for zone in zones:
            f.write(f'zone "{zone}" {{ type master; file "{directory}/{zone}.zone"; '
                    f'allow-update {{ 192.168.99.1; }}; }};\n')
            with open(os.path.join(directory, f"{zone}.zone"), "w") as z:
                z.write(f"$TTL 300\n@ IN SOA ns.{ZONE}. admin.{ZONE}. 1 3600 600 86400 300\n@ IN NS ns.{ZONE}.\n")
                if zone == ZONE:
                    z.write(f"ns IN A {DNS_ADDRESS}\n")
    bind_user = "bind" if any(p.pw_name == "bind" for p in pwd.getpwall()) else "root"
    shutil.chown(directory, bind_user)
    for name in os.listdir(directory):
        shutil.chown(os.path.join(directory, name), bind_user)
    return bind_user


def bootp_request(hw, xid, host_name):
    """A BOOTP request (no message type) whose vendor area carries a host name."""
    packet = bytearray(236)
    packet[0:4] = bytes([1, 1, 6, 0])
    packet[4:8] = struct.pack("!I", xid)
    packet[28:34] = hw
    packet += b"\x63\x82\x53\x63" + bytes([12, len(host_name)]) + host_name.encode() + b"\xff"
    return bytes(packet) + bytes(300 - len(packet))


class DnsUpdate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [c for c in ("named", "dig", "busybox") if shutil.which(c) is None]
        if missing:
            raise unittest.SkipTest(f"missing programs: {' '.join(missing)}")
        lab = cls.lab = netns.Lab("dn")
        cls.srv = lab.namespace("s")
        cls.dns = lab.namespace("d")
        lab.link(cls.srv, "192.168.99.1/24", cls.dns, f"{DNS_ADDRESS}/24", f"{lab.prefix}d")
        cls.clients = {}
        general = {"TestHousekeepingMs": "200", "EnableRA": "1"}
        profiles = []

        def segment(name, profile, segment_values, dns_server, keys):
            address, bits, mask, base, _ = segment_values
            ns = lab.namespace(name)
            _, dev = lab.link(cls.srv, f"{address}/{bits}", ns, None, f"{lab.prefix}{name}")
            cls.clients[name] = (ns, dev)
            profiles.append((profile, {"InterfaceIP": address, "BaseIP": base, "SubnetMask": mask,
                                       "DNS1IP": dns_server, "DNSName": ZONE, "DNSAccept": "1", **keys}))

        for name, values in SEGMENTS.items():
            segment(name, f"Seg{name}", values, DNS_ADDRESS, {"Range": "20", "Lease": "600"})
        segment("q", "Silent", SILENT, SILENT[4], {"Range": "100", "Lease": "600"})
        segment("e", "Brief", BRIEF, DNS_ADDRESS, {"Range": "20", "Lease": "4", "DNSBase": "brief"})
        segment("l", "Long", LONG, DNS_ADDRESS, {"Range": "20", "Lease": "4", "DNSName": LONG_DOMAIN})
        # Clients behind a relay agent on segment a, known by their circuit alone.
        profiles.append(("Relayed", {"RelayIP": "192.168.90.2", "BaseIP": "192.168.90.150", "Range": "10",
                                     "SubnetMask": "255.255.255.0", "DNS1IP": DNS_ADDRESS, "DNSName": ZONE,
                                     "DNSAccept": "1"}))
        for i, (pname, _) in enumerate(profiles):
            general[f"Profile{i}"] = pname
        registry = netns.write_config(lab.dir, general)
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            for pname, keys in profiles:
                f.write(f"[{pname}]\n" + "".join(f"{k}={v}\n" for k, v in keys.items()))

        cls.named_dir = os.path.join(lab.dir, "named")
        os.mkdir(cls.named_dir)
        os.chmod(lab.dir, 0o711)  # named reads its files as its own user
        user = named_config(cls.named_dir)
        cls.named = netns.Process(["ip", "netns", "exec", cls.dns, "named", "-g", "-u", user,
                                   "-c", os.path.join(cls.named_dir, "named.conf")])
        if cls.named.wait_for("all zones loaded", timeout=15) is None:
            cls.named.kill()
            lab.close()
            raise RuntimeError("named did not start:\n" + "\n".join(cls.named.lines))
        cls.registry = registry
        cls.server = netns.start_velkora(lab, cls.srv, VELKORA, registry, "DHCP  Start   Server on 10.0.0.1")

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.named.kill()
        cls.lab.close()

    def dig(self, *query):
        r = self.lab.ns_run(self.srv, "dig", f"@{DNS_ADDRESS}", "+short", "+time=2", "+tries=1", *query, check=False)
        return r.stdout.strip()

    def lease(self, segment, *extra):
        ns, dev = self.clients[segment]
        out = os.path.join(self.lab.dir, f"{segment}.hook")
        if os.path.exists(out):
            os.remove(out)
        r = subprocess.run(["ip", "netns", "exec", ns, "busybox", "udhcpc", "-i", dev, "-n", "-q", "-f", "-t", "5",
                            "-T", "2", "-s", HOOK, *extra], env=dict(os.environ, HOOK_OUT=out),
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(out) as f:
            return next(l[3:] for l in f.read().splitlines() if l.startswith("ip=") and len(l) > 3)

    def wait_for_record(self, *query, expect):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            answer = self.dig(*query)
            if answer == expect:
                return
            time.sleep(0.2)
        self.fail(f"dig {' '.join(query)} gave {answer!r}, not {expect!r}\n" + "\n".join(self.server.lines[-20:]))

    def send_requests(self, segment, tag, requests, hardware=True, relay=None):
        """REQUESTs of new clients from segment: (option 12 bytes, more options) each; the
        addresses acknowledged. hardware False: the clients send no hardware address. relay: the
        address on the segment of a relay agent that passes them on (giaddr)."""
        ns, dev = self.clients[segment]
        to = (SEGMENTS[segment][0], relay, 67) if relay else ("255.255.255.255", "0.0.0.0", 68)
        script = ("import socket,sys,json\n"
                  f"sys.path.insert(0, {HERE!r})\n"
                  "from test_dns import named_request\n"
                  "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                  "s.setsockopt(socket.SOL_SOCKET,socket.SO_BROADCAST,1)\n"
                  f"s.setsockopt(socket.SOL_SOCKET,25,{dev.encode()!r})\n"
                  f"s.bind(({to[1]!r},{to[2]})); s.settimeout(3)\n"
                  "got=[]\n"
                  "for i,(name,extra) in enumerate(json.load(sys.stdin)):\n"
                  f"    p=bytearray(named_request(bytes([2,{tag},0,0,0,i])[:6 * {hardware}],{tag}*256+i,bytes.fromhex(name),"
                  "bytes.fromhex(extra)))\n"
                  f"    p[24:28]=socket.inet_aton({relay or '0.0.0.0'!r})\n"
                  f"    s.sendto(p,({to[0]!r},67))\n"
                  "    got.append(socket.inet_ntoa(s.recv(2048)[16:20]))\n"
                  "print(json.dumps(got))\n")
        r = subprocess.run(["ip", "netns", "exec", ns, sys.executable, "-c", script], capture_output=True, timeout=60,
                           input=json.dumps([[c[0].hex(), c[1].hex()] for c in requests]).encode())
        self.assertEqual(r.returncode, 0, r.stderr.decode() + "\n".join(self.server.lines[-15:]))
        return json.loads(r.stdout)

    def updates_sent(self, name):
        return sum(1 for l in self.server.lines if f"DHCP  DNS     update {name} sent" in l)

    def test_1_leases_register_a_and_ptr_records_in_the_zone_of_their_mask(self):
        for segment, host in (("a", "pca"), ("b", "pcb"), ("c", "pcc")):
            address = self.lease(segment, "-x", f"hostname:{host}")
            self.wait_for_record(f"{host}.{ZONE}", "A", expect=address)
            self.wait_for_record("-x", address, expect=f"{host}.{ZONE}.")
            reverse = ".".join(reversed(address.split("."))) + ".in-addr.arpa"
            self.assertTrue(reverse.endswith(SEGMENTS[segment][4]))
            self.assertIsNotNone(self.server.wait_for(f"DHCP  DNS     update {reverse} sent", timeout=2))

    def test_2_a_record_already_there_is_not_updated_again(self):
        # Another client than test 1's, which keeps "pca" for the tests below (a client that
        # comes back with another name loses the old one).
        ns, dev = self.clients["a"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", "02:00:00:0a:02:02")
        address = self.lease("a", "-x", "hostname:again")
        self.wait_for_record(f"again.{ZONE}", "A", expect=address)
        self.server.settle(0.5)
        before = self.updates_sent(f"again.{ZONE}")
        self.assertEqual(before, 1)
        self.assertEqual(self.lease("a", "-x", "hostname:again", "-r", address), address)
        self.server.wait_for(f"ACK {address}", start=len(self.server.lines) - 5, timeout=2)
        self.server.settle(1.5)
        self.assertEqual(self.updates_sent(f"again.{ZONE}"), before)

    def test_3_a_client_without_a_name_registers_nothing(self):
        ns, dev = self.clients["b"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", "02:00:00:0b:0b:0b")  # a client never seen
        mark = len(self.server.lines)
        address = self.lease("b")
        self.server.settle(1.0)
        self.assertFalse([l for l in self.server.lines[mark:] if "DNS" in l])
        reverse = ".".join(reversed(address.split("."))) + ".in-addr.arpa"
        self.assertEqual(self.dig(reverse, "PTR"), "")

    def test_4_a_bootp_reply_registers_too(self):
        ns, dev = self.clients["c"]
        script = ("import socket,sys\n"
                  "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                  "s.setsockopt(socket.SOL_SOCKET,socket.SO_BROADCAST,1)\n"
                  f"s.setsockopt(socket.SOL_SOCKET,25,b'{dev}')\n"
                  "s.bind(('0.0.0.0',68)); s.settimeout(5)\n"
                  "s.sendto(sys.stdin.buffer.read(),('255.255.255.255',67))\n"
                  "d=s.recv(2048); print(socket.inet_ntoa(d[16:20]))\n")
        r = subprocess.run(["ip", "netns", "exec", ns, sys.executable, "-c", script],
                           input=bootp_request(bytes.fromhex("020000b00701"), 0x5150, "bootme"),
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        address = r.stdout.decode().strip()
        self.assertRegex(address, r"^10\.0\.0\.1[0-1][0-9]$")
        self.wait_for_record(f"bootme.{ZONE}", "A", expect=address)


    def test_5_a_client_does_not_take_the_name_of_another_host(self):
        # "ns" is the name server's own record, which no client put there; "pca" is the client's
        # of test 1, whose DHCID record says so.
        ns, dev = self.clients["a"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", "02:00:00:0a:0a:0a")
        for host, kept in (("ns", DNS_ADDRESS), ("pca", self.dig(f"pca.{ZONE}", "A"))):
            mark = len(self.server.lines)
            address = self.lease("a", "-x", f"hostname:{host}")
            self.assertNotEqual(address, kept)
            self.assertIsNotNone(self.server.wait_for(
                f"DHCP  Error   DNS name {host}.{ZONE} belongs to another client, not updated", timeout=10, start=mark))
            self.assertEqual(self.dig(f"{host}.{ZONE}", "A"), kept)
        # Nor does a relayed client known by its circuit alone, whose registration no DHCID marks:
        # it gets a name no client owns, not one that is a client's.
        mark = len(self.server.lines)
        self.lab.ns_run(ns, "ip", "addr", "add", "192.168.90.2/24", "dev", dev)
        try:
            anonymous, _ = self.send_requests("a", 0xd5, [(name, bytes([82, 4, 1, 2, 0xd5, i])) for i, name in
                                                          enumerate((b"nobody", b"pca"))], False, "192.168.90.2")
        finally:
            self.lab.ns_run(ns, "ip", "addr", "del", "192.168.90.2/24", "dev", dev)
        self.wait_for_record(f"nobody.{ZONE}", "A", expect=anonymous)
        self.assertIsNotNone(self.server.wait_for(
            f"DHCP  Error   DNS name pca.{ZONE} belongs to another client, not updated", timeout=10, start=mark))
        self.assertEqual(self.dig(f"pca.{ZONE}", "A"), kept)

    def test_6_a_silent_dns_server_holds_up_no_lease_save(self):
        count = 30
        self.send_requests("q", 0xdd, [(f"pcq{i}".encode(), b"") for i in range(count)])
        acked = time.monotonic()
        # The updates wait 2 seconds for each record: a minute for all; the leases are saved
        # within the housekeeping period (200 ms here) all the same.
        wanted = {f"02:dd:00:00:00:{i:02x}" for i in range(count)}
        dynamic = os.path.join(self.lab.dir, "dynamic")
        found = set()
        while time.monotonic() - acked < 3 and found != wanted:
            time.sleep(0.1)
            if os.path.exists(dynamic):
                with open(dynamic) as f:
                    text = f.read().lower().replace("-", ":")
                found = {hw for hw in wanted if hw in text}
        self.assertEqual(found, wanted, f"{len(found)} of {count} leases saved after 3 seconds")
        # Nor does it hold up the names of clients whose DNS server answers: its batch waits for
        # it once, not 2 seconds for each of its records.
        address = self.lease("a", "-x", "hostname:afterquiet")
        self.wait_for_record(f"afterquiet.{ZONE}", "A", expect=address)
        self.assertIsNotNone(self.server.wait_for("DHCP  Error   DNS server 192.168.99.77 did not answer: ", timeout=5))


    def test_7_odd_host_names_register_the_name_expected_or_none(self):
        fqdn = bytes([81, 17, 0x05, 0, 0]) + b"\x02fq\x04evil\x04test\x00"  # E bit: a wire-form name
        cases = [  # option 12, more options, the name registered (None: none, and a log line)
            (b"MixedCase", b"", "MixedCase"),  # kept as sent: DNS names ignore case
            (b"dotted.", b"", "dotted"),
            (b"host.other.example", b"", "host"),
            (b"nul\x00tail", b"", "nul"),
            (b"a" * 63, b"", "a" * 63),
            (b"fqhost", fqdn, "fqhost"),
            (b"", fqdn, None),
            (b"under_score", b"", None),
            (b"two words", b"", None),
            (b"b" * 64, b"", None),
            (b"caf\xc3\xa9", b"", None),
            (b"evil\nDHCP  Start   x", b"", None),
            (b"-dash", b"", None),
        ]
        mark = len(self.server.lines)
        addresses = self.send_requests("b", 0xee, cases)
        for (sent, _, name), address in zip(cases, addresses):
            reverse = ".".join(reversed(address.split("."))) + ".in-addr.arpa"
            if name is not None:
                self.wait_for_record(f"{name}.{ZONE}", "A", expect=address)
                self.wait_for_record(reverse, "PTR", expect=f"{name}.{ZONE}.")
            else:
                self.server.settle(0.2)
                self.assertEqual(self.dig(reverse, "PTR"), "", sent)
        self.assertEqual(self.dig("fq.evil.test", "A"), "")
        lines = self.server.lines[mark:]
        skipped = [l for l in lines if "not registered in DNS" in l]
        self.assertEqual(len(skipped), 6, "\n".join(lines))
        self.assertFalse([l for l in lines if "Start   x" in l and "evil?DHCP" not in l])
        self.assertTrue(any("host name evil?DHCP  Start   x.lab.test not registered in DNS: not a host label" in l
                            for l in skipped), "\n".join(skipped))
        self.assertFalse([l for l in lines if "rcode" in l or f"no answer from {DNS_ADDRESS}" in l], "\n".join(lines))
        # A name of 253 bytes, the longest there is, is registered with its DHCID and, when its
        # lease of 4 seconds runs out, removed.
        longest = f"{'h' * 63}.{LONG_DOMAIN}"
        self.assertEqual(len(longest), 253)
        [address] = self.send_requests("l", 0xef, [(b"h" * 63, b"")])
        self.wait_for_record(longest, "A", expect=address)
        self.wait_for_record(self.reverse(address), "PTR", expect=f"{longest}.")
        self.assertNotEqual(self.dig(longest, "DHCID"), "")
        self.wait_for_record(longest, "A", expect="")
        self.wait_for_record(self.reverse(address), "PTR", expect="")

    def reverse(self, address):
        return ".".join(reversed(address.split("."))) + ".in-addr.arpa"

    def release(self, segment, hw, address):
        """The RELEASE udhcpc sends for its address: its client identifier is type 1 and the
        hardware address."""
        ns, dev = self.clients[segment]
        server = SEGMENTS[segment][0]
        packet = bytearray(240)
        packet[0:3] = b"\x01\x01\x06"
        packet[4:8] = struct.pack("!I", 0x7e1e)
        packet[12:16] = socket.inet_aton(address)
        packet[28:34] = hw
        packet[236:240] = b"\x63\x82\x53\x63"
        packet += bytes([53, 1, 7, 54, 4]) + socket.inet_aton(server) + bytes([61, 7, 1]) + hw + b"\xff"
        script = ("import socket,sys\n"
                  "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                  f"s.setsockopt(socket.SOL_SOCKET,25,{dev.encode()!r})\n"
                  f"s.sendto(sys.stdin.buffer.read(),({server!r},67))\n")
        r = subprocess.run(["ip", "netns", "exec", ns, sys.executable, "-c", script], input=bytes(packet),
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertIsNotNone(self.server.wait_for(f"DHCP  Release {':'.join(f'{b:02x}' for b in hw)} ({address})",
                                                  timeout=5))

    def named_lease(self, hw, host):
        """A lease on segment a for a client never seen, with both its records in DNS."""
        ns, dev = self.clients["a"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", hw)
        address = self.lease("a", "-x", f"hostname:{host}")
        self.wait_for_record(f"{host}.{ZONE}", "A", expect=address)
        self.wait_for_record(self.reverse(address), "PTR", expect=f"{host}.{ZONE}.")
        return address

    def test_8a_a_release_removes_the_records_the_lease_registered(self):
        address = self.named_lease("02:00:00:0a:08:08", "leaving")
        self.assertNotEqual(self.dig(f"leaving.{ZONE}", "DHCID"), "")
        self.release("a", bytes.fromhex("0200000a0808"), address)
        self.wait_for_record(f"leaving.{ZONE}", "A", expect="")
        self.wait_for_record(self.reverse(address), "PTR", expect="")
        self.assertEqual(self.dig(f"leaving.{ZONE}", "DHCID"), "")
        self.assertIsNotNone(self.server.wait_for(f"DHCP  DNS     removal leaving.{ZONE} sent", timeout=2))

    def test_8b_a_release_leaves_the_names_of_others(self):
        # "ns" is the name server's own record; "pca" is the client's of test 1. This client asked
        # for both names, was refused them, and releases: both stay as they are.
        ns, dev = self.clients["a"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", "02:00:00:0a:09:09")
        for host in ("ns", "pca"):
            kept = self.dig(f"{host}.{ZONE}", "A")
            kept_ptr = self.dig("-x", kept)
            mark = len(self.server.lines)
            address = self.lease("a", "-x", f"hostname:{host}")
            self.release("a", bytes.fromhex("0200000a0909"), address)
            self.assertIsNotNone(self.server.wait_for(f"DHCP  DNS     {host}.{ZONE} left in DNS", timeout=5,
                                                      start=mark), "\n".join(self.server.lines[mark:]))
            self.assertEqual(self.dig(f"{host}.{ZONE}", "A"), kept)
            self.assertEqual(self.dig("-x", kept), kept_ptr)
            self.assertEqual(self.dig(self.reverse(address), "PTR"), "")

    def test_8c_an_expired_lease_loses_its_records_and_a_renewal_brings_them_back(self):
        address = self.lease("e", "-x", "hostname:brief")
        self.wait_for_record(f"brief.{ZONE}", "A", expect=address)
        self.wait_for_record(self.reverse(address), "PTR", expect=f"brief.{ZONE}.")
        # The lease of 4 seconds is not renewed (udhcpc -q has left): the next housekeeping pass
        # after it ran out removes both records.
        self.wait_for_record(f"brief.{ZONE}", "A", expect="")
        self.wait_for_record(self.reverse(address), "PTR", expect="")
        self.assertEqual(self.dig(f"brief.{ZONE}", "DHCID"), "")
        self.assertIsNotNone(self.server.wait_for(f"DHCP  DNS     removal brief.{ZONE} sent", timeout=2))
        self.assertEqual(self.lease("e", "-x", "hostname:brief", "-r", address), address)
        self.wait_for_record(f"brief.{ZONE}", "A", expect=address)
        self.wait_for_record(self.reverse(address), "PTR", expect=f"brief.{ZONE}.")
        # A client without a hardware address is known by its client identifier, here longer than
        # the 64 bytes a lease keeps of it: the expiry pass has only those to name the client
        # by, and its records go all the same.
        long_id = bytes([61, 70, 0]) + b"L" * 69
        [long_address] = self.send_requests("e", 0xf1, [(b"longid", long_id)], hardware=False)
        self.wait_for_record(f"longid.{ZONE}", "A", expect=long_address)
        self.wait_for_record(f"longid.{ZONE}", "A", expect="")
        self.wait_for_record(self.reverse(long_address), "PTR", expect="")

    def change_through_pipe(self, listing, address, new_address=None):
        """As the manager changes a record: its handle from a walk of its list (ListStatic 7,
        ListDynamic 8), then RemoveClient of its list, or UpdateClient of a static entry with
        new_address. The reply's status and value."""
        program = ("import socket, struct, sys\n"
                   "s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET); s.settimeout(5)\n"
                   "s.connect(b'\\0tolmark_dhcp_server')\n"
                   "listing, value, handle = int(sys.argv[1]), 0, 0\n"
                   "while True:\n"
                   "    s.send(struct.pack('<IiQ', listing, value, handle)); r = s.recv(4096)\n"
                   "    if len(r) < 336: sys.exit('not listed')\n"
                   "    if socket.inet_ntoa(r[16:20]) == sys.argv[2]: break\n"
                   "    value, handle = 1, struct.unpack('<Q', r[328:336])[0]\n"
                   "if len(sys.argv) > 3:\n"
                   "    s.send(struct.pack('<IiQ', 5, 0, struct.unpack('<Q', r[8:16])[0]) + r[8:16]\n"
                   "           + socket.inet_aton(sys.argv[3]) + r[20:336])\n"
                   "else:\n"
                   "    s.send(struct.pack('<IiQ', 6, listing - 7, struct.unpack('<Q', r[8:16])[0]))\n"
                   "print(*struct.unpack('<Ii', s.recv(4096)[:8]))\n")
        r = self.lab.ns_run(self.srv, sys.executable, "-c", program, str(listing), address,
                            *([new_address] if new_address else []), check=False)
        return r.stdout.strip() + r.stderr

    def test_8d_a_running_lease_removed_through_the_pipe_loses_its_records(self):
        address = self.named_lease("02:00:00:0a:0d:0d", "dropped")
        self.assertEqual(self.change_through_pipe(8, address), "0 1")
        self.wait_for_record(f"dropped.{ZONE}", "A", expect="")
        self.wait_for_record(self.reverse(address), "PTR", expect="")
        self.assertIsNotNone(self.server.wait_for(f"DHCP  DNS     removal dropped.{ZONE} sent", timeout=2))

    def test_8i_a_static_entry_moved_or_removed_takes_its_records_along(self):
        ns, dev = self.clients["e"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", "02:00:00:0e:51:51")
        trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
        r = self.lab.ns_run(self.srv, trisko, "add", "02:00:00:0e:51:51", "172.31.0.130", "Brief", check=False)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        for address, moved in (("172.31.0.130", "172.31.0.131"), ("172.31.0.131", None)):
            name = f"brief-{address.replace('.', '-')}.{ZONE}"
            self.assertEqual(self.lease("e"), address)
            self.wait_for_record(name, "A", expect=address)
            self.wait_for_record(self.reverse(address), "PTR", expect=f"{name}.")
            self.assertEqual(self.change_through_pipe(7, address, moved), "0 1" if moved else "0 0")
            self.wait_for_record(name, "A", expect="")
            self.wait_for_record(self.reverse(address), "PTR", expect="")
            self.assertEqual(self.dig(name, "DHCID"), "")

    def test_8f_a_client_that_comes_back_with_another_name_leaves_no_old_one_behind(self):
        address = self.named_lease("02:00:00:0a:0f:0f", "before")
        self.assertEqual(self.lease("a", "-x", "hostname:after", "-r", address), address)
        self.wait_for_record(f"after.{ZONE}", "A", expect=address)
        self.wait_for_record(self.reverse(address), "PTR", expect=f"after.{ZONE}.")
        self.wait_for_record(f"before.{ZONE}", "A", expect="")
        self.assertEqual(self.dig(f"before.{ZONE}", "DHCID"), "")
        self.assertNotEqual(self.dig(f"after.{ZONE}", "DHCID"), "")
        # A client that moves to another network takes its name along; the PTR record of the
        # lease it left goes when that lease runs out, though the name now leads elsewhere.
        for segment in ("e", "a"):
            ns, dev = self.clients[segment]
            self.lab.ns_run(ns, "ip", "link", "set", dev, "address", "02:00:00:0e:0f:0f")
        left = self.lease("e", "-x", "hostname:mover")
        self.wait_for_record(self.reverse(left), "PTR", expect=f"mover.{ZONE}.")
        moved = self.lease("a", "-x", "hostname:mover")
        self.wait_for_record(f"mover.{ZONE}", "A", expect=moved)
        self.wait_for_record(self.reverse(left), "PTR", expect="")
        self.assertEqual(self.dig(self.reverse(moved), "PTR"), f"mover.{ZONE}.")

    def test_8h_names_move_with_the_domain_or_server_of_their_profile(self):
        address = self.named_lease("02:00:00:0a:11:11", "tracked")
        # The administrator gives the profile another domain: the running lease's names move there.
        for old, new in ((ZONE, LONG_DOMAIN), (LONG_DOMAIN, ZONE)):
            ini = os.path.join(self.lab.dir, "Dorvane.ini")
            with open(ini) as f:
                text = f.read()
            at = text.index("[Sega]")
            with open(ini, "w") as f:
                f.write(text[:at] + text[at:].replace(f"DNSName={old}\n", f"DNSName={new}\n", 1))
            program = ("import socket, struct\n"
                       "s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET); s.settimeout(5)\n"
                       "s.connect(b'\\0tolmark_dhcp_server')\n"
                       "s.send(struct.pack('<IiQ', 18, 0, 0)); print(*struct.unpack('<Ii', s.recv(4096)[:8]))\n")
            r = self.lab.ns_run(self.srv, sys.executable, "-c", program, check=False)
            self.assertEqual(r.stdout.split()[0], "0", r.stderr)
            self.wait_for_record(f"tracked.{new}", "A", expect=address)
            self.wait_for_record(f"tracked.{old}", "A", expect="")
            self.wait_for_record(self.reverse(address), "PTR", expect=f"tracked.{new}.")

    def based_lease(self, hw):
        """A lease on segment e for a client that sends no name: it is registered under the one
        "DNSBase" makes. The address and the name."""
        ns, dev = self.clients["e"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", hw)
        address = self.lease("e")
        name = f"brief-{address.replace('.', '-')}.{ZONE}"
        self.wait_for_record(name, "A", expect=address)
        return address, name

    def restart(self, while_stopped=lambda: None, general_extra=""):
        """Stops the server and starts it again, with these lines added to the general section."""
        self.server.proc.send_signal(signal.SIGTERM)
        self.server.proc.wait(timeout=30)
        while_stopped()
        ini = os.path.join(self.lab.dir, "Dorvane.ini")
        with open(ini) as f:
            text = f.read().replace("Detect=1\n", "")
        with open(ini, "w") as f:
            f.write(text.replace("[Dorvane]\n", "[Dorvane]\n" + general_extra, 1))
        type(self).server = netns.start_velkora(self.lab, self.srv, VELKORA, self.registry,
                                                "DHCP  Start   Server on 10.0.0.1")

    def test_8e_leases_that_ran_out_while_the_server_was_stopped_lose_their_records(self):
        address, name = self.based_lease("02:00:00:0e:0e:0e")
        # And one under the name its client sent, which only the dynamic file tells the next start.
        ns, dev = self.clients["e"]
        self.lab.ns_run(ns, "ip", "link", "set", dev, "address", "02:00:00:0e:0e:0f")
        sent = self.lease("e", "-x", "hostname:gone")
        self.wait_for_record(f"gone.{ZONE}", "A", expect=sent)
        # A release just before the stop, while the DNS thread waits for the silent server: no
        # pass finds a released lease later, so its removal goes out as the server stops.
        released = self.named_lease("02:00:00:0a:0e:0e", "stopping")
        self.send_requests("q", 0xde, [(b"holdup", b"")])
        self.release("a", bytes.fromhex("0200000a0e0e"), released)

        # Stopped before the leases of 4 seconds run out, started again after they did: the
        # first housekeeping passes find them.
        def run_out():
            self.assertEqual(self.dig(f"stopping.{ZONE}", "A"), "", "\n".join(self.server.lines[-20:]))
            self.assertEqual(self.dig(self.reverse(released), "PTR"), "")
            time.sleep(5)
            self.assertEqual(self.dig(f"gone.{ZONE}", "A"), sent)
        self.restart(run_out)
        for lost, at in ((name, address), (f"gone.{ZONE}", sent)):
            self.wait_for_record(lost, "A", expect="")
            self.wait_for_record(self.reverse(at), "PTR", expect="")
            self.assertIsNotNone(self.server.wait_for(f"DHCP  DNS     removal {lost} sent", timeout=2))

    def test_8g_a_standby_that_starts_while_another_server_serves_removes_no_names(self):
        # While the server is stopped, a static entry takes the lease's address, which ends the
        # lease at load. The other server that answers the start-up probe serves the clients
        # meanwhile: the name is left to it.
        address, name = self.based_lease("02:00:00:0e:0e:10")
        ns, dev = self.clients["e"]
        other = netns.Process(["ip", "netns", "exec", ns, sys.executable, "-c",
                               "import socket\n"
                               "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                               "s.setsockopt(socket.SOL_SOCKET,socket.SO_BROADCAST,1)\n"
                               "s.bind(('0.0.0.0',67)); print('ready', flush=True)\n"
                               "while True:\n"
                               "    d,a=s.recvfrom(2048)\n"
                               "    if d[28:34]==b'_DHCP_': s.sendto(b'\\x02'+d[1:],(a[0],68))\n"])

        def static_entry():
            with open(os.path.join(self.lab.dir, "ethers"), "a") as f:
                f.write(f"02:00:00:0e:0e:11\t{address}\tBrief\n")
        try:
            self.lab.ns_run(ns, "ip", "addr", "add", "172.31.0.2/24", "dev", dev)
            self.assertIsNotNone(other.wait_for("ready", timeout=5))
            self.restart(static_entry, "Detect=1\n")
            self.assertIsNotNone(self.server.wait_for("DHCP  paused  server on 172.31.0.", timeout=5),
                                 "\n".join(self.server.lines + other.lines))
            self.assertIsNotNone(self.server.wait_for("DHCP  DNS     1 name removals not sent: another server serves",
                                                      timeout=2))
            self.server.settle(2)
            self.assertEqual(self.dig(name, "A"), address, "\n".join(self.server.lines[-20:]))
            self.assertEqual(self.dig(self.reverse(address), "PTR"), f"{name}.")
            self.assertFalse([l for l in self.server.lines if "DNS     removal" in l], "\n".join(self.server.lines))
        finally:
            other.kill()
            self.lab.ns_run(ns, "ip", "addr", "del", "172.31.0.2/24", "dev", dev, check=False)
            self.restart()

    def test_9_a_network_in_another_reverse_zone_than_its_mask_gets_and_loses_its_ptr_record(self):
        # The mask of w names 5.16.172.in-addr.arpa, which the DNS server does not keep: the record
        # goes to 16.172.in-addr.arpa. The mask of v names 21.172.in-addr.arpa, and the server
        # keeps 0.21.172.in-addr.arpa. Their removals go there straight away.
        for segment, hw, host, found in (
                ("w", "02:00:00:0c:09:09", "wide", "reverse zone 16.172.in-addr.arpa at"),
                ("v", "02:00:00:0c:0a:0a", "narrow", "reverse zones of 3 address bytes (as 0.21.172.in-addr.arpa) at")):
            ns, dev = self.clients[segment]
            self.lab.ns_run(ns, "ip", "link", "set", dev, "address", hw)
            mark = len(self.server.lines)
            address = self.lease(segment, "-x", f"hostname:{host}")
            self.wait_for_record(f"{host}.{ZONE}", "A", expect=address)
            self.wait_for_record(self.reverse(address), "PTR", expect=f"{host}.{ZONE}.")
            self.release(segment, bytes.fromhex(hw.replace(":", "")), address)
            self.wait_for_record(self.reverse(address), "PTR", expect="")
            self.wait_for_record(f"{host}.{ZONE}", "A", expect="")
            self.assertIsNotNone(self.server.wait_for(f"DHCP  DNS     removal {self.reverse(address)} sent", timeout=2))
            lines = self.server.lines[mark:]
            self.assertEqual(len([l for l in lines if found in l]), 1, "\n".join(lines))
            self.assertFalse([l for l in lines if "rcode" in l], "\n".join(lines))


class StaticNames(unittest.TestCase):
    """Static entries named in the host's name service: "ip netns exec" shows the server the
    hosts file of /etc/netns/<namespace>/, which the test writes and removes."""

    def test_entries_get_addresses_and_names_and_the_client_is_served(self):
        lab = netns.Lab("sn")
        server = None
        etc = None
        try:
            srv = lab.namespace("s")
            cli = lab.namespace("c")
            _, dev = lab.link(srv, "10.94.0.1/24", cli, None, f"{lab.prefix}x")
            lab.ns_run(cli, "ip", "link", "set", dev, "address", "02:00:00:94:00:01")
            etc = os.path.join("/etc/netns", srv)
            os.makedirs(etc)
            with open(os.path.join(etc, "hosts"), "w") as f:
                f.write("127.0.0.1 localhost\n10.94.0.50 bootbox.lab.test bootbox\n"
                        "10.94.0.60 printer.lab.test printer\n127.0.1.1 loopbox\n")
            with open(os.path.join(etc, "resolv.conf"), "w") as f:
                f.write("options timeout:1 attempts:1\n")
            registry = netns.write_config(lab.dir, {"Profile0": "Lan", "TestHousekeepingMs": "200"})
            with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
                f.write("[Lan]\nInterfaceIP=10.94.0.1\nBaseIP=10.94.0.100\nRange=20\nSubnetMask=255.255.255.0\n")
            with open(os.path.join(lab.dir, "ethers"), "w") as f:
                f.write("02:00:00:94:00:01\tbootbox\t0.0.0.0\tLan\n02:00:00:94:00:99\t10.94.0.60\tLan\n"
                        "02:00:00:94:00:98\tnosuchbox\t0.0.0.0\tLan\n02:00:00:94:00:97\tloopbox\t0.0.0.0\tLan\n")
            server = netns.start_velkora(lab, srv, VELKORA, registry, "DHCP  Start   Server on 10.94.0.1")
            self.assertIsNotNone(server.wait_for("DHCP  Error   static host name nosuchbox: no address found"))
            # The entry known by name is served with the name's address.
            out = os.path.join(lab.dir, "c.hook")
            r = subprocess.run(["ip", "netns", "exec", cli, "busybox", "udhcpc", "-i", dev, "-n", "-q", "-f", "-t",
                                "5", "-T", "2", "-s", HOOK], env=dict(os.environ, HOOK_OUT=out),
                               capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr + "\n".join(server.lines))
            with open(out) as f:
                self.assertIn("ip=10.94.0.50\n", f.read())
            trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
            printed = subprocess.run(["ip", "netns", "exec", srv, trisko, "print"], capture_output=True, text=True,
                                     timeout=20).stdout
            self.assertIn("%-32s %-16.16s %s" % ("02-00-00-94-00-01", "10.94.0.50", "Lan"), printed)
            # A name the host keeps for itself (a loopback address) gives no client an address.
            self.assertIsNotNone(server.wait_for("DHCP  Error   static host name loopbox: 127.0.1.1 is no client's address"))
            self.assertIn("%-32s %-16.16s %s" % ("02-00-00-94-00-97", "0.0.0.0", "Lan"), printed)
            # The entry known by address got its name: the next save writes it to the file.
            subprocess.run(["ip", "netns", "exec", srv, trisko, "add", "02:00:00:94:00:02", "10.94.0.70", "Lan"],
                           capture_output=True, timeout=20)
            ethers = os.path.join(lab.dir, "ethers")
            deadline = time.monotonic() + 10
            text = ""
            while time.monotonic() < deadline and "10.94.0.70" not in text:
                time.sleep(0.2)
                with open(ethers) as f:
                    text = f.read()
            self.assertIn("02:00:00:94:00:99\tprinter.lab.test\t10.94.0.60", text)
        finally:
            if server is not None:
                server.kill()
            if etc is not None:
                shutil.rmtree(etc, ignore_errors=True)
            lab.close()


if __name__ == "__main__":
    netns.main(globals())
