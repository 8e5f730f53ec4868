"""Real DHCP clients against Velkora in network namespaces: busybox udhcpc, ISC dhclient and
dhcpcd on a bridged segment of the server, and a client behind ISC dhcrelay on a second
segment. Each client's hook records what it was given."""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
HOOK = os.path.join(HERE, "..", "..", "scripts", "client_hook.sh")
VELKORA = None

PROFILES = {
    "Profile0": "LanA",
    "Profile1": "RelayB",
}
LAN_A = {
    "InterfaceIP": "10.80.0.1", "BaseIP": "10.80.0.100", "Range": "50", "SubnetMask": "255.255.255.0",
    "GatewayIP": "10.80.0.1", "DNS1IP": "10.80.0.53", "DNS2IP": "10.80.0.54", "DNSName": "lab-a.test",
    "Lease": "600",
}
RELAY_B = {
    "RelayIP": "10.82.0.1", "BaseIP": "10.82.0.100", "Range": "20", "SubnetMask": "255.255.255.0",
    "GatewayIP": "10.82.0.1", "DNS1IP": "10.82.0.53", "DNSName": "lab-b.test", "Lease": "900",
}


def write_profiles(directory):
    with open(os.path.join(directory, "Dorvane.ini"), "a") as f:
        for key, value in PROFILES.items():
            f.write(f"{key}={value}\n")
        for name, keys in (("LanA", LAN_A), ("RelayB", RELAY_B)):
            f.write(f"[{name}]\n")
            for key, value in keys.items():
                f.write(f"{key}={value}\n")


def forget_dhcpcd_leases(lab):
    """dhcpcd keeps its leases in /var/lib/dhcpcd by interface name: the scenario's are deleted,
    so that none outlives it and a later run's interface of the same name does not start from it."""
    directory = "/var/lib/dhcpcd"
    if os.path.isdir(directory):
        for name in os.listdir(directory):
            # The prefix ends in the process number: a longer number is another scenario's.
            if name.startswith(lab.prefix) and not name[len(lab.prefix):][:1].isdigit():
                os.remove(os.path.join(directory, name))


def read_hook(path):
    """The key=value lines of the last event that carried an address."""
    result = {}
    if not os.path.exists(path):
        return result
    with open(path) as f:
        block = {}
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            if key == "event":
                if block.get("ip"):
                    result = block
                block = {"event": value}
            else:
                block[key] = value
        if block.get("ip"):
            result = block
    return result


class RealClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [c for c in ("busybox", "dhclient", "dhcpcd", "dhcrelay") if shutil.which(c) is None]
        if missing:
            raise unittest.SkipTest(f"missing DHCP clients: {' '.join(missing)}")
        lab = cls.lab = netns.Lab("dc")
        cls.srv = lab.namespace("s")
        cls.relay = lab.namespace("r")
        # Segment A: a bridge in the server namespace with one port per client namespace.
        lab.ns_run(cls.srv, "ip", "link", "add", "br0", "type", "bridge")
        lab.ns_run(cls.srv, "ip", "addr", "add", "10.80.0.1/24", "dev", "br0")
        lab.ns_run(cls.srv, "ip", "link", "set", "br0", "up")
        cls.clients = {}
        for name in ("u", "h", "p", "u2"):
            ns = lab.namespace(name)
            a, b = lab.link(cls.srv, None, ns, None, f"{lab.prefix}{name}")
            lab.ns_run(cls.srv, "ip", "link", "set", a, "master", "br0")
            cls.clients[name] = (ns, b)
        # Segment B behind the relay agent.
        lab.link(cls.srv, "10.81.0.1/24", cls.relay, "10.81.0.2/24", f"{lab.prefix}sr")
        cls.far = lab.namespace("f")
        _, cls.far_dev = lab.link(cls.relay, "10.82.0.1/24", cls.far, None, f"{lab.prefix}rf")
        lab.ns_run(cls.srv, "ip", "route", "add", "10.82.0.0/24", "via", "10.81.0.2")

        # TestHousekeepingMs is a setting for tests only: the dynamic file is saved quickly.
        registry = netns.write_config(lab.dir, {"TestHousekeepingMs": "200"})
        write_profiles(lab.dir)
        cls.server = netns.start_velkora(lab, cls.srv, VELKORA, registry, "DHCP  Start   Server on 10.80.0.1")
        cls.relay_proc = None

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "relay_proc", None) is not None:
            cls.relay_proc.kill()
        cls.server.kill()
        forget_dhcpcd_leases(cls.lab)
        cls.lab.close()

    def hook_env(self, name):
        return dict(os.environ, HOOK_OUT=os.path.join(self.lab.dir, f"{name}.hook"))

    def hook_for(self, name):
        """dhclient and dhcpcd run their hook with a clean environment: a wrapper names the file."""
        path = os.path.join(self.lab.dir, f"{name}-hook.sh")
        with open(path, "w") as f:
            f.write(f"#!/bin/sh\nHOOK_OUT={os.path.join(self.lab.dir, name + '.hook')} exec {HOOK} \"$@\"\n")
        os.chmod(path, 0o755)
        return path

    def run_in(self, ns, args, env, timeout=40):
        return subprocess.run(["ip", "netns", "exec", ns, *args], env=env, capture_output=True, text=True,
                              timeout=timeout)

    def udhcpc(self, name, *extra):
        ns, dev = self.clients[name]
        return self.run_in(ns, ["busybox", "udhcpc", "-i", dev, "-n", "-q", "-f", "-t", "5", "-T", "2",
                                "-s", HOOK, *extra], self.hook_env(name))

    def dhclient(self, name, *extra):
        ns, dev = self.clients[name]
        files = os.path.join(self.lab.dir, name)
        return self.run_in(ns, ["dhclient", "-4", "-1", "-v", "-sf", self.hook_for(name), "-lf", files + ".leases",
                                "-pf", files + ".pid", *extra, dev], self.hook_env(name))

    def dhcpcd(self, name, *extra):
        ns, dev = self.clients[name]
        files = os.path.join(self.lab.dir, name)
        return self.run_in(ns, ["dhcpcd", "-4", "-1", "-B", "-t", "20", "-c", self.hook_for(name), "-f", files + ".conf",
                                "--noarp", *extra, dev], self.hook_env(name))

    def lease_of(self, name):
        return read_hook(os.path.join(self.lab.dir, f"{name}.hook"))

    def assert_lan_a_lease(self, lease):
        self.assertRegex(lease.get("ip", ""), r"^10\.80\.0\.(1[0-4][0-9])$")
        self.assertEqual(lease["mask"], "255.255.255.0")
        self.assertEqual(lease["router"], "10.80.0.1")
        self.assertEqual(lease["dns"].split(), ["10.80.0.53", "10.80.0.54"])
        self.assertEqual(lease["domain"], "lab-a.test")
        self.assertEqual(lease["lease"], "600")

    def test_1_udhcpc_gets_a_lease_and_keeps_it_on_renewal(self):
        r = self.udhcpc("u")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        lease = self.lease_of("u")
        self.assert_lan_a_lease(lease)
        self.assertIsNotNone(self.server.wait_for(f"ACK {lease['ip']} 600", timeout=2))
        # Asking again for the same address (a renewal after a restart of the client).
        r = self.udhcpc("u", "-r", lease["ip"])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(self.lease_of("u")["ip"], lease["ip"])
        # Its client identifier (type 1 and its hardware address) comes back as it was sent; udhcpc
        # hands the hook what it received as opt61.
        ns, dev = self.clients["u"]
        mac = self.lab.ns_run(ns, "cat", f"/sys/class/net/{dev}/address").stdout.strip()
        echoed = os.path.join(self.lab.dir, "u.id")
        hook = os.path.join(self.lab.dir, "u-id.sh")
        with open(hook, "w") as f:
            f.write(f"#!/bin/sh\n[ \"$1\" = bound ] && echo \"$opt61\" > {echoed}\nexit 0\n")
        os.chmod(hook, 0o755)
        r = self.run_in(ns, ["busybox", "udhcpc", "-i", dev, "-n", "-q", "-f", "-t", "5", "-T", "2", "-s", hook,
                             "-r", lease["ip"]], self.hook_env("u"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(echoed) as f:
            self.assertEqual(f.read().strip(), "01" + mac.replace(":", ""))

    def test_2_dhclient_gets_another_address_then_releases_it(self):
        open(os.path.join(self.lab.dir, "h.conf"), "w").close()
        r = self.dhclient("h")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        lease = self.lease_of("h")
        self.assert_lan_a_lease(lease)
        self.assertNotEqual(lease["ip"], self.lease_of("u").get("ip"))
        mark = len(self.server.lines)
        # A second run finds the lease in its file and asks for it again (INIT-REBOOT).
        r = self.dhclient("h")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(self.lease_of("h")["ip"], lease["ip"])
        self.assertIsNotNone(self.server.wait_for(f"ACK {lease['ip']} 600", start=mark, timeout=2))
        # Asked at reboot for another address of the segment while the server holds the client's
        # running lease, the server tells it so (NAK) at once: the client does not wait out its
        # reboot time before it gets its lease back through a DISCOVER.
        leases = os.path.join(self.lab.dir, "h.leases")
        with open(leases) as f:
            text = f.read()
        with open(leases, "w") as f:
            f.write(text.replace(f"fixed-address {lease['ip']};", "fixed-address 10.80.0.149;"))
        started = time.monotonic()
        r = self.dhclient("h")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertLess(time.monotonic() - started, 8, r.stdout + r.stderr)
        self.assertIsNotNone(self.server.wait_for("(10.80.0.149) NAK", start=mark, timeout=2))
        self.assertEqual(self.lease_of("h")["ip"], lease["ip"])
        r = self.dhclient("h", "-r")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIsNotNone(self.server.wait_for(f" DHCP  Release ", start=mark, timeout=5))
        i = self.server.wait_for(" DHCP  Release ", start=mark, timeout=1)
        self.assertIn(f"({lease['ip']})", self.server.lines[i])
        # The server's state: the lease is free (expiry 0) in the saved dynamic file.
        deadline = time.monotonic() + 5
        line = None
        dynamic = os.path.join(self.lab.dir, "dynamic")
        while time.monotonic() < deadline and line is None:
            if not os.path.exists(dynamic):
                time.sleep(0.1)
                continue
            with open(dynamic) as f:
                line = next((l for l in f.read().splitlines() if f"\t{lease['ip']}\t" in l and "\t:0" in l), None)
            time.sleep(0.1)
        self.assertIsNotNone(line, "released lease not saved as free")

    def test_3_dhcpcd_gets_a_third_address(self):
        with open(os.path.join(self.lab.dir, "p.conf"), "w") as f:
            f.write("option domain_name_servers, domain_name, host_name\n")
        r = self.dhcpcd("p")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        lease = self.lease_of("p")
        self.assert_lan_a_lease(lease)
        self.assertNotIn(lease["ip"], (self.lease_of("u").get("ip"),))

    def test_4_a_client_behind_a_relay_agent_gets_the_relay_profile(self):
        ns_r, dev_r = self.relay, None
        devices = self.lab.ns_run(self.relay, "ip", "-o", "link", "show").stdout
        down = f"{self.lab.prefix}rfa"
        up = f"{self.lab.prefix}sra" if f"{self.lab.prefix}sra" in devices else f"{self.lab.prefix}srb"
        # The agent is given two of the server's addresses, and sends each a copy of every request.
        self.lab.ns_run(ns_r, "ip", "route", "add", "10.80.0.0/24", "via", "10.81.0.1")
        type(self).relay_proc = netns.Process(
            ["ip", "netns", "exec", ns_r, "dhcrelay", "-4", "-d", "-id", down, "-iu", up, "10.81.0.1", "10.80.0.1"])
        time.sleep(1)
        env = self.hook_env("far")
        r = self.run_in(self.far, ["busybox", "udhcpc", "-i", self.far_dev, "-n", "-q", "-f", "-t", "6", "-T", "2",
                                   "-s", HOOK], env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr + "\n".join(self.relay_proc.lines))
        lease = read_hook(os.path.join(self.lab.dir, "far.hook"))
        self.assertRegex(lease["ip"], r"^10\.82\.0\.1(0[0-9]|1[0-9])$")
        self.assertEqual(lease["router"], "10.82.0.1")
        self.assertEqual(lease["domain"], "lab-b.test")
        self.assertEqual(lease["lease"], "900")
        i = self.server.wait_for(f"ACK {lease['ip']} 900 ", timeout=2)
        self.assertIsNotNone(i, "\n".join(self.server.lines[-8:]))
        self.assertRegex(self.server.lines[i], r" gw 10\.82\.0\.1 if 10\.8[01]\.0\.1$")
        # The copy for the address the client did not choose left the lease as the other gave it:
        # the saved lease is still the client's, and running.
        mac = self.lab.ns_run(self.far, "cat", f"/sys/class/net/{self.far_dev}/address").stdout.strip()
        time.sleep(1)
        with open(os.path.join(self.lab.dir, "dynamic")) as f:
            saved = [l.split("\t")[:3] for l in f.read().splitlines() if f"\t{lease['ip']}\t" in l]
        self.assertEqual(len(saved), 1, saved)
        self.assertEqual(saved[0][0], mac)
        self.assertNotEqual(saved[0][2], ":0")


class Renewals(unittest.TestCase):
    """dhcpcd renews by unicast from the address it has, on the server's segment and from behind
    a relay agent (the renewal goes past the agent, straight to the server): each answer must
    reach it there, or every renewal fails and the client falls back to rebinding."""

    LEASE = 20  # the shortest lease dhcpcd takes: it renews after 10 seconds
    FAR_RESERVATION = None  # (hardware address, address): the far client's static entry

    def setUp(self):
        if shutil.which("dhcpcd") is None or shutil.which("dhcrelay") is None:
            self.skipTest("dhcpcd or dhcrelay is missing")
        lab = self.lab = netns.Lab("rn")
        self.srv = lab.namespace("s")
        self.near = lab.namespace("n")
        _, self.near_dev = lab.link(self.srv, "10.87.0.1/24", self.near, None, f"{lab.prefix}n")
        self.relay = lab.namespace("r")
        _, up = lab.link(self.srv, "10.88.0.1/24", self.relay, "10.88.0.2/24", f"{lab.prefix}r")
        self.far = lab.namespace("f")
        down, self.far_dev = lab.link(self.relay, "10.89.0.1/24", self.far, None, f"{lab.prefix}f")
        lab.ns_run(self.srv, "ip", "route", "add", "10.89.0.0/24", "via", "10.88.0.2")
        lab.ns_run(self.relay, "sysctl", "-qw", "net.ipv4.ip_forward=1")
        if self.FAR_RESERVATION:
            mac, address = self.FAR_RESERVATION
            lab.ns_run(self.far, "ip", "link", "set", self.far_dev, "down")
            lab.ns_run(self.far, "ip", "link", "set", self.far_dev, "address", mac)
            lab.ns_run(self.far, "ip", "link", "set", self.far_dev, "up")
            with open(os.path.join(lab.dir, "ethers"), "w") as f:
                f.write(f"{mac}\t{address}\tFar\n")
        registry = netns.write_config(lab.dir, {"Profile0": "Near", "Profile1": "Far"})
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            for name, selector, net in (("Near", "InterfaceIP=10.87.0.1", "10.87.0"),
                                        ("Far", "RelayIP=10.89.0.1", "10.89.0")):
                f.write(f"[{name}]\n{selector}\nBaseIP={net}.100\nRange=10\nSubnetMask=255.255.255.0\n"
                        f"GatewayIP={net}.1\nLease={self.LEASE}\n")
        self.server = netns.start_velkora(lab, self.srv, VELKORA, registry, "DHCP  Start   Server on 10.87.0.1")
        self.relay_proc = netns.Process(
            ["ip", "netns", "exec", self.relay, "dhcrelay", "-4", "-d", "-id", down, "-iu", up, "10.88.0.1"])

    def tearDown(self):
        self.relay_proc.kill()
        self.server.kill()
        forget_dhcpcd_leases(self.lab)
        self.lab.close()

    def test_dhcpcd_renewals_are_answered_on_the_segment_and_behind_a_relay(self):
        time.sleep(1)  # the relay agent listens
        runs = []
        for name, ns, dev in (("near", self.near, self.near_dev), ("far", self.far, self.far_dev)):
            # dhcpcd configures the address and routes itself; the hook only notes each event.
            hook = os.path.join(self.lab.dir, f"{name}-hook.sh")
            with open(hook, "w") as f:
                f.write(f"#!/bin/sh\necho \"event=$reason address=$new_ip_address\" >> "
                        f"{os.path.join(self.lab.dir, name + '.hook')}\n")
            os.chmod(hook, 0o755)
            # Long enough for the first renewal and its answer, well before rebinding (T2 = 17 s).
            runs.append(subprocess.Popen(
                ["ip", "netns", "exec", ns, "timeout", "-s", "KILL", str(self.LEASE // 2 + 4), "dhcpcd", "-4", "-B",
                 "-d", "--noarp", "-t", "10", "-c", hook, "-f", os.path.join(self.lab.dir, name + ".conf"), dev],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
        # A relay agent that is a router relays broadcasts only: the far client's unicast renewal
        # reaches the server without giaddr. dhcrelay would relay it as well; stopped once the far
        # client is bound, it leaves only the forwarded datagram.
        far_hook = os.path.join(self.lab.dir, "far.hook")
        deadline = time.monotonic() + self.LEASE // 2
        while time.monotonic() < deadline:
            if os.path.exists(far_hook):
                with open(far_hook) as f:
                    if "event=BOUND" in f.read():
                        break
            time.sleep(0.2)
        self.relay_proc.kill()
        outputs = [r.communicate(timeout=60)[0] for r in runs]
        for name, out in zip(("near", "far"), outputs):
            with open(os.path.join(self.lab.dir, name + ".hook")) as f:
                events = [line.split()[0] for line in f.read().splitlines() if line.startswith("event=")]
                f.seek(0)
                addresses = {line.split("address=")[1] for line in f.read().splitlines() if "address=" in line}
            self.assertIn("event=BOUND", events, out)
            self.assertIn("event=RENEW", events, f"{name}: {events}\n{out}\n" + "\n".join(self.server.lines))
            self.assertNotIn("failed to renew", out)
            if name == "far" and self.FAR_RESERVATION:
                self.assertEqual(addresses - {""}, {self.FAR_RESERVATION[1]}, out)


class ReservationRenewals(Renewals):
    """The far client is a reservation of the relay profile (a static entry with its address):
    its unicast renewal past the relay agent is served from that entry, as a lease's is."""

    FAR_RESERVATION = ("02:00:00:89:00:50", "10.89.0.50")


class ArpUse(unittest.TestCase):
    """Unicast replies through a temporary ARP entry, and the ARP test of an address before it
    is handed out."""

    def setUp(self):
        if shutil.which("busybox") is None:
            self.skipTest("busybox is missing")
        lab = self.lab = netns.Lab("ar")
        self.srv = lab.namespace("s")
        lab.ns_run(self.srv, "ip", "link", "add", "br0", "type", "bridge")
        lab.ns_run(self.srv, "ip", "addr", "add", "10.86.0.1/24", "dev", "br0")
        lab.ns_run(self.srv, "ip", "link", "set", "br0", "up")
        self.hosts = {}
        for name, address in (("c", None), ("f", "10.86.0.100/24")):
            ns = lab.namespace(name)
            a, b = lab.link(self.srv, None, ns, address, f"{lab.prefix}{name}")
            lab.ns_run(self.srv, "ip", "link", "set", a, "master", "br0")
            self.hosts[name] = (ns, b)
        registry = netns.write_config(lab.dir, {"Unicast": "1", "TestIP": "1", "Profile0": "Lan"})
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            f.write("[Lan]\nInterfaceIP=10.86.0.1\nBaseIP=10.86.0.100\nRange=20\nSubnetMask=255.255.255.0\n")
        self.server = netns.start_velkora(lab, self.srv, VELKORA, registry, "DHCP  Start   Server on 10.86.0.1")

    def tearDown(self):
        self.server.kill()
        self.lab.close()

    def test_a_foreign_host_keeps_its_address_and_the_client_gets_a_unicast_reply(self):
        ns, dev = self.hosts["c"]
        env = dict(os.environ, HOOK_OUT=os.path.join(self.lab.dir, "c.hook"))
        r = subprocess.run(["ip", "netns", "exec", ns, "busybox", "udhcpc", "-i", dev, "-n", "-q", "-f", "-t", "5",
                            "-T", "3", "-s", HOOK], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr + "\n".join(self.server.lines))
        lease = read_hook(os.path.join(self.lab.dir, "c.hook"))
        # 10.86.0.100 answered ARP from the foreign host: the client gets the next address.
        self.assertEqual(lease["ip"], "10.86.0.101")
        # The temporary ARP entries are gone again after each reply.
        neighbours = self.lab.ns_run(self.srv, "ip", "neigh", "show", "10.86.0.101").stdout
        self.assertNotIn("PERMANENT", neighbours)


if __name__ == "__main__":
    netns.main(globals())
