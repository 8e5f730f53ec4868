"""Two servers with "Detect" on one segment: the second one pauses while the first answers its
probe and drops requests; when the first stops, the second takes over."""

import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
VELKORA = None


class BackupDetection(unittest.TestCase):
    def setUp(self):
        lab = self.lab = netns.Lab("bd")
        switch = lab.namespace("w")
        lab.ns_run(switch, "ip", "link", "add", "br0", "type", "bridge")
        lab.ns_run(switch, "ip", "link", "set", "br0", "up")
        self.ns = {}
        for name, address in (("a", "10.83.0.1/24"), ("b", "10.83.0.2/24"), ("c", "10.83.0.9/24")):
            ns = lab.namespace(name)
            port, dev = lab.link(switch, None, ns, address, f"{lab.prefix}{name}")
            lab.ns_run(switch, "ip", "link", "set", port, "master", "br0")
            self.ns[name] = (ns, dev)
        self.servers = {}

    def tearDown(self):
        for server in self.servers.values():
            server.kill()
        self.lab.close()

    def start(self, name):
        directory = os.path.join(self.lab.dir, name)
        os.mkdir(directory)
        # TestHousekeepingMs is a setting for tests only: it shortens the probe period.
        registry = netns.write_config(directory, {"Detect": "1", "TestHousekeepingMs": "400"})
        server = netns.Process(["ip", "netns", "exec", self.ns[name][0], VELKORA, "-debug"],
                               env={"TOLMARK_REGISTRY": registry})
        self.servers[name] = server
        self.assertIsNotNone(server.wait_for("DHCP  Start   Server on", timeout=15), "\n".join(server.lines))
        return server

    def probe(self):
        ns, dev = self.ns["c"]
        out = self.lab.ns_run(ns, sys.executable, os.path.join(HERE, "dhcp_probe.py"), "--device", dev).stdout
        return [json.loads(line)["src"] for line in out.splitlines() if line.strip()]

    def test_second_server_pauses_and_takes_over(self):
        first = self.start("a")
        time.sleep(1.5)  # past the first server's own start-up probe
        second = self.start("b")
        i = second.wait_for(" DHCP  paused  server on 10.83.0.1 detected", timeout=5)
        self.assertIsNotNone(i, "\n".join(second.lines))
        self.assertRegex(second.lines[i], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d DHCP  paused  server on 10\.83\.0\.1 "
                                          r"detected$")
        self.assertIsNone(first.wait_for("paused", timeout=0.5))

        # Only the active server answers; the paused one drops the request.
        self.assertEqual(self.probe(), ["10.83.0.1"])
        self.assertIsNone(second.wait_for("Discov.", timeout=0.5))

        first.proc.send_signal(signal.SIGINT)
        self.assertEqual(first.proc.wait(timeout=5), 0)
        self.assertIsNotNone(second.wait_for(" DHCP  active  server started", timeout=10), "\n".join(second.lines))
        self.assertEqual(self.probe(), ["10.83.0.2"])

    def test_a_lone_server_stays_active(self):
        # A second address of the host on the same subnet: the probe sent from it is answered
        # by this server's own receive loop, from its first address. That is no other server.
        ns, dev = self.ns["a"]
        self.lab.ns_run(ns, "ip", "addr", "add", "10.83.0.5/24", "dev", dev)
        # Chatter on the client port of the server's address (short datagrams, no answers)
        # must not keep the start-up probe waiting, nor the server paused.
        c_ns, c_dev = self.ns["c"]
        chatter = netns.Process(["ip", "netns", "exec", c_ns, "sh", "-c",
                                 f"while true; do {sys.executable} {os.path.join(HERE, 'send_datagram.py')} "
                                 f"--to 10.83.0.1 --port 68 --length 20; sleep 0.3; done"])
        try:
            server = self.start("a")
            answers, deadline = [], time.monotonic() + 8
            while not answers and time.monotonic() < deadline:
                answers = self.probe()
            self.assertEqual(answers, ["10.83.0.1"], "\n".join(server.lines))
        finally:
            chatter.kill()
        time.sleep(2)  # several periodic probes
        self.assertEqual(self.probe(), ["10.83.0.1"], "\n".join(server.lines))
        self.assertIsNone(server.wait_for("paused", timeout=0.2), "\n".join(server.lines))


if __name__ == "__main__":
    netns.main(globals())
