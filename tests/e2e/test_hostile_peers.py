"""The server under attack from the LAN and from unprivileged local users: idle connections,
descriptor exhaustion through the control pipe, remote peers that try to change state, a
squatted control socket name, and a flood of malformed datagrams. Each attack is held off
while the administrator is still answered."""

import glob
import os
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import pipe_peer  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
VELKORA = None
REMOTE_PORT = 5067
METRICS_PORT = 9167


def as_nobody(*command):
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", *command]


class ControlPipeUnderAttack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
        lab = cls.lab = netns.Lab("hp")
        cls.srv = lab.namespace("s")
        cls.att = lab.namespace("a")
        lab.link(cls.srv, "10.87.0.1/24", cls.att, "10.87.0.2/24", f"{lab.prefix}x")
        registry = netns.write_config(lab.dir, {"Profile0": "Standard", "RemotePort": str(REMOTE_PORT),
                                                "MetricsListen": f"10.87.0.1:{METRICS_PORT}",
                                                "TestHousekeepingMs": "200"})
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            f.write("[Standard]\nInterfaceIP=10.87.0.1\nBaseIP=10.87.0.100\nRange=50\n")
        os.chmod(lab.dir, 0o755)
        with open(os.path.join(lab.dir, "probe.log"), "w") as f:
            f.write("x\n")
        # A directory beside the logs that a link inside the log directory points to.
        cls.outside = os.path.join(lab.dir, "outside")
        os.mkdir(cls.outside)
        with open(os.path.join(cls.outside, "secret.txt"), "w") as f:
            f.write("secret\n")
        os.symlink(cls.outside, os.path.join(lab.dir, "elsewhere"))
        cls.server = netns.start_velkora(lab, cls.srv, VELKORA, registry, "DHCP  Start   Server on 10.87.0.1")
        cls.holders = []

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.lab.close()

    def tearDown(self):
        # Each attack ends with its test; the server gives the slots back as the peers go.
        for holder in self.holders:
            holder.kill()
        self.holders.clear()
        time.sleep(0.5)

    def hold(self, ns, *args, user=False):
        command = [sys.executable, os.path.join(HERE, "pipe_peer.py"), *args]
        holder = netns.Process(["ip", "netns", "exec", ns, *(as_nobody(*command) if user else command)])
        self.holders.append(holder)
        i = holder.wait_for("held ", timeout=60)
        self.assertIsNotNone(i, "\n".join(holder.lines))
        return int(holder.lines[i].split()[1])

    def velkora_pid(self):
        return int(subprocess.run(["pgrep", "-n", "-f", f"{VELKORA} -debug"], capture_output=True,
                                  text=True).stdout.split()[0])

    def trisko_print(self):
        r = subprocess.run(["ip", "netns", "exec", self.srv, self.trisko, "print"], capture_output=True, text=True,
                           timeout=20)
        return r.returncode, r.stdout

    def test_1_the_administrator_is_answered_with_hundreds_of_idle_connections_open(self):
        remote = self.hold(self.att, "hold-tcp", "--host", "10.87.0.1", "--port", str(REMOTE_PORT), "--count", "300")
        local = self.hold(self.srv, "hold-local", "--count", "300", user=True)
        # Each kind of peer is held to its share; the rest were turned away at once.
        self.assertLessEqual(remote, 32)
        self.assertLessEqual(local, 16)
        start = time.monotonic()
        code, out = self.trisko_print()
        self.assertEqual(code, 1, out)
        self.assertLess(time.monotonic() - start, 5)
        # A user opening and dropping connections as fast as three processes can keeps the
        # listener busy; the administrator's request still gets through within seconds.
        for _ in range(3):
            self.hold(self.srv, "churn-local", "--seconds", "15", user=True)
        time.sleep(1)
        for attempt in range(3):
            start = time.monotonic()
            code, out = self.trisko_print()
            self.assertEqual(code, 1, out)
            self.assertLess(time.monotonic() - start, 2, f"attempt {attempt}")

    def test_2_open_files_cannot_starve_the_server_of_descriptors(self):
        # Twelve connections of an unprivileged user try to hold 40 files and searches each.
        held = self.hold(self.srv, "hold-local", "--count", "12", "--files", "20", user=True)
        self.assertGreater(held, 0)
        pid = self.velkora_pid()
        descriptors = len(os.listdir(f"/proc/{pid}/fd"))
        self.assertLess(descriptors, 200)
        # Root's requests are answered, and a change is still saved to its file.
        r = subprocess.run(["ip", "netns", "exec", self.srv, self.trisko, "add", "00:11:22:33:44:55", "10.87.0.10"],
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 1, r.stdout)
        ethers = os.path.join(self.lab.dir, "ethers")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if os.path.exists(ethers) and "10.87.0.10" in open(ethers).read():
                break
            time.sleep(0.2)
        self.assertIn("10.87.0.10", open(ethers).read())

    def test_5_the_metrics_page_is_scraped_with_its_listener_besieged(self):
        pid = self.velkora_pid()
        threads = len(os.listdir(f"/proc/{pid}/task"))
        # Idle connections by the hundred (the slow, endless and deaf peers are the listener's
        # unit test).
        self.hold(self.att, "hold-tcp", "--host", "10.87.0.1", "--port", str(METRICS_PORT), "--count", "400")
        # Queued behind them one at a time, a scrape would wait minutes; it is answered at once.
        for attempt in range(5):
            r = subprocess.run(["ip", "netns", "exec", self.srv, "curl", "-s", "--max-time", "5",
                                f"http://10.87.0.1:{METRICS_PORT}/metrics"], capture_output=True, text=True,
                               timeout=20)
            self.assertIn("tolmark_control_connections_total", r.stdout, f"attempt {attempt}: {r.returncode}")
        # One thread for the page, whatever the peers do; its descriptors bounded by its limit.
        self.assertEqual(len(os.listdir(f"/proc/{pid}/task")), threads)
        self.assertLess(len(os.listdir(f"/proc/{pid}/fd")), 120)
        self.assertEqual(self.trisko_print()[0], 1)

    def test_3_remote_peers_may_read_but_never_purge_or_reload(self):
        script = ("import sys; sys.path.insert(0, %r); import pipe_peer as p\n"
                  "s = p.tcp_socket('10.87.0.1', %d)\n"
                  "for code, payload in ((p.GET_SETTINGS, b''), (p.PURGE_DYNAMIC, bytes(24)), (p.RELOAD_PROFILES, b'')):\n"
                  "    print(p.status(p.transact_tcp(s, p.message(code, 0, payload))))\n") % (HERE, REMOTE_PORT)
        r = subprocess.run(["ip", "netns", "exec", self.att, sys.executable, "-c", script], capture_output=True,
                           text=True, timeout=30)
        self.assertEqual(r.stdout.split(), ["0", "2", "2"], r.stderr)

    def test_4_a_search_does_not_follow_a_link_out_of_the_log_directory(self):
        script = ("import sys; sys.path.insert(0, %r); import pipe_peer as p\n"
                  "s = p.local_socket()\n"
                  "for pattern in (b'elsewhere/*', b'probe.log'):\n"
                  "    r = p.transact_local(s, p.message(p.FILE_FIND_FIRST, 0, pattern + b'\\0'))\n"
                  "    print(len(r))\n") % HERE
        r = subprocess.run(["ip", "netns", "exec", self.srv, sys.executable, "-c", script], capture_output=True,
                           text=True, timeout=30)
        # No entry for the linked directory; a file of the log directory is found (336 bytes).
        self.assertEqual(r.stdout.split(), ["8", "336"], r.stderr)


class SquattedName(unittest.TestCase):
    def test_a_squatter_is_logged_and_refused_by_trisko(self):
        lab = netns.Lab("sq")
        squatter = None
        server = None
        try:
            srv = lab.namespace("s")
            cli = lab.namespace("c")
            lab.link(srv, "10.88.0.1/24", cli, None, f"{lab.prefix}x")
            registry = netns.write_config(lab.dir, {})
            squatter = netns.Process(["ip", "netns", "exec", srv, *as_nobody(
                sys.executable, os.path.join(HERE, "pipe_peer.py"), "squat")])
            self.assertIsNotNone(squatter.wait_for("held ", timeout=20))
            server = netns.start_velkora(lab, srv, VELKORA, registry, "DHCP  Start   Server on 10.88.0.1")
            self.assertIsNotNone(server.wait_for("control pipe tolmark_dhcp_server is held by another process",
                                                 timeout=5))
            trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
            r = subprocess.run(["ip", "netns", "exec", srv, trisko, "print"], capture_output=True, text=True,
                               timeout=20)
            self.assertNotEqual(r.returncode, 1)
            self.assertIn("Control pipe held by an untrusted process (uid ", r.stdout)
        finally:
            for p in (squatter, server):
                if p is not None:
                    p.kill()
            lab.close()


class MalformedFlood(unittest.TestCase):
    def test_twenty_seconds_of_malformed_datagrams_leave_a_small_log(self):
        lab = netns.Lab("fl")
        server = None
        try:
            srv = lab.namespace("s")
            cli = lab.namespace("c")
            lab.link(srv, "10.89.0.1/24", cli, "10.89.0.2/24", f"{lab.prefix}x")
            registry = netns.write_config(lab.dir, {"Log": "2", "Profile0": "Lan"})
            with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
                f.write("[Lan]\nInterfaceIP=10.89.0.1\nBaseIP=10.89.0.100\nRange=20\n")
            # Started as the service manager starts it, so that the log goes to its file.
            server = netns.Process(["ip", "netns", "exec", srv, VELKORA],
                                   env={"TOLMARK_REGISTRY": registry, "INVOCATION_ID": "flood"})
            deadline = time.monotonic() + 15
            logs = []
            while time.monotonic() < deadline and not logs:
                logs = glob.glob(os.path.join(lab.dir, "dhcp????.log"))
                time.sleep(0.2)
            self.assertTrue(logs, "\n".join(server.lines))
            time.sleep(1)
            r = subprocess.run(["ip", "netns", "exec", cli, sys.executable, os.path.join(HERE, "malformed_corpus.py"),
                                "--to", "10.89.0.1", "--bind", "10.89.0.2", "--count", "4000", "--seconds", "20"],
                               capture_output=True, text=True, timeout=90)
            self.assertEqual(r.returncode, 0, r.stderr)
            sent = int(r.stdout.split()[1])
            time.sleep(2)
            size = os.path.getsize(logs[0])
            with open(logs[0], errors="replace") as f:
                text = f.read()
            print(f"{sent} datagrams, log {size} bytes", flush=True)
            self.assertGreater(sent, 100_000)
            self.assertLess(size, 1_000_000)
            # Distinct kinds are still there, with their counts.
            self.assertIn("DHCP  Error   in request from", text)
            server.proc.send_signal(signal.SIGTERM)
            server.proc.wait(timeout=10)
            with open(logs[0], errors="replace") as f:
                self.assertIn("similar lines suppressed]", f.read())
        finally:
            if server is not None:
                server.kill()
            lab.close()


class ArpTestsDuringAFlood(unittest.TestCase):
    """With "TestIP" on, every new client's address is tested by ARP, and nobody answers for a
    second. A flood of DISCOVERs from new clients must not hold up the others."""

    FLOOD = ("import os, socket, struct, sys, time\n"
             "sys.path.insert(0, %r)\n"
             "from dhcp_probe import discover\n"
             "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
             "s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)\n"
             "s.setsockopt(socket.SOL_SOCKET, 25, %r)\n"
             "end = time.monotonic() + %f\n"
             "n = 0\n"
             "while time.monotonic() < end and n < 1000:\n"
             "    s.sendto(discover(b'\\x02\\xfe' + os.urandom(4), n), ('255.255.255.255', 67))\n"
             "    n += 1\n"
             "    time.sleep(%f)\n"
             "print('sent', n)\n")

    def test_a_known_client_is_answered_within_a_second(self):
        lab = netns.Lab("af")
        server = None
        flood = None
        try:
            srv = lab.namespace("s")
            lab.ns_run(srv, "ip", "link", "add", "br0", "type", "bridge")
            lab.ns_run(srv, "ip", "addr", "add", "10.95.0.1/24", "dev", "br0")
            lab.ns_run(srv, "ip", "link", "set", "br0", "up")
            devices = {}
            for name in ("f", "k"):
                ns = lab.namespace(name)
                a, b = lab.link(srv, None, ns, None, f"{lab.prefix}{name}")
                lab.ns_run(srv, "ip", "link", "set", a, "master", "br0")
                devices[name] = (ns, b)
            registry = netns.write_config(lab.dir, {"TestIP": "1", "Profile0": "Lan"})
            with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
                f.write("[Lan]\nInterfaceIP=10.95.0.1\nBaseIP=10.95.0.10\nRange=240\nSubnetMask=255.255.255.0\n")
            with open(os.path.join(lab.dir, "ethers"), "w") as f:
                f.write("02:00:00:95:00:01\t10.95.0.5\tLan\n")
            server = netns.start_velkora(lab, srv, VELKORA, registry, "DHCP  Start   Server on 10.95.0.1")
            ns_f, dev_f = devices["f"]
            flood = netns.Process(["ip", "netns", "exec", ns_f, sys.executable, "-c",
                                   self.FLOOD % (HERE, dev_f.encode(), 8.0, 0.03)])
            time.sleep(1.5)  # the flood is under way, and its tests are waiting for answers
            ns_k, dev_k = devices["k"]
            for attempt in range(3):
                start = time.monotonic()
                r = subprocess.run(["ip", "netns", "exec", ns_k, sys.executable, os.path.join(HERE, "dhcp_probe.py"),
                                    "--device", dev_k, "--hw", "02:00:00:95:00:01", "--timeout", "1.0"],
                                   capture_output=True, text=True, timeout=20)
                replies = [line for line in r.stdout.splitlines() if line.strip()]
                self.assertTrue(replies, f"no answer within a second (attempt {attempt})\n" + r.stderr)
                self.assertIn('"yiaddr": "10.95.0.5"', replies[0])
                self.assertLess(time.monotonic() - start, 2.0)
            self.assertIsNotNone(flood.wait_for("sent ", timeout=30))
            # The flood's clients were tested and served too, each after its wait.
            self.assertIsNotNone(server.wait_for("DHCP  Discov. 02:fe:", timeout=5))
        finally:
            for p in (flood, server):
                if p is not None:
                    p.kill()
            lab.close()


if __name__ == "__main__":
    netns.main(globals())
