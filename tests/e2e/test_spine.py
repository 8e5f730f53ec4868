"""Velkora -debug in a network namespace: start-up lines, the in-request error line, requests
handed to the request processor (broadcast and unicast, served and excluded addresses),
address changes followed at run time, and a clean stop on SIGINT."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# The product version, as the top-level CMakeLists.txt gives it to the build.
with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as _cmake:
    VERSION = re.search(r"project\(Tolmark VERSION ([0-9.]+)", _cmake.read()).group(1)
VELKORA = None


class Spine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = netns.Lab("sp")
        lab = cls.lab
        cls.srv = lab.namespace("s")
        cls.cli = lab.namespace("c")
        cls.cli2 = lab.namespace("d")
        # Segment 1 is served; segment 2's server address is excluded.
        lab.link(cls.srv, "10.77.0.1/24", cls.cli, "10.77.0.2/24", f"{lab.prefix}x")
        lab.link(cls.srv, "10.78.0.1/24", cls.cli2, "10.78.0.2/24", f"{lab.prefix}y")
        cls.cli_dev = f"{lab.prefix}xb"
        cls.cli2_dev = f"{lab.prefix}yb"
        registry = netns.write_config(lab.dir, {"Exclude": "10.78.0.1"})
        cls.server = netns.start_velkora(lab, cls.srv, VELKORA, registry, "DHCP  Start   Server on 10.77.0.1")

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.lab.close()

    def send(self, ns, **kw):
        args = [sys.executable, os.path.join(HERE, "send_datagram.py")]
        for key, value in kw.items():
            args += [f"--{key.replace('_', '-')}", str(value)]
        self.lab.ns_run(ns, *args)

    def probe(self, ns, device, hw, pad=0):
        """Replies to one broadcast DISCOVER sent on the device."""
        import json
        out = self.lab.ns_run(ns, sys.executable, os.path.join(HERE, "dhcp_probe.py"), "--device", device,
                              "--hw", hw, "--pad", str(pad)).stdout
        return [json.loads(line) for line in out.splitlines() if line.strip()]

    def test_0_arguments_a_mode_does_not_take_are_refused(self):
        # Sandboxed as an installation would be, though nothing may be installed or removed.
        d = self.lab.dir
        env = dict(os.environ, TOLMARK_UNIT_DIR=os.path.join(d, "units"), TOLMARK_SYSTEMCTL="/bin/false",
                   TOLMARK_REGISTRY=os.path.join(d, "none.ini"), TOLMARK_DATA_DIR=os.path.join(d, "none"))
        for args in (["-debug", "-chek"], ["-DEBUG", "-debug", "x"], ["-install", "now"], ["-remove", "-f"],
                     ["-check", "a.ini", "b.ini"]):
            r = subprocess.run([VELKORA, *args], env=env, capture_output=True, text=True, timeout=10)
            self.assertEqual((r.returncode, r.stdout), (2, ""), args)
            self.assertEqual(r.stderr, f'Velkora: {args[0]} does not take the argument "{args[-1]}"; nothing was '
                             "done\n")
        self.assertFalse(os.path.exists(os.path.join(d, "units")))
        # An unknown mode still gets the usage text, and now says what was not understood.
        r = subprocess.run([VELKORA, "-hlep"], env=env, capture_output=True, text=True, timeout=10)
        self.assertIn('Velkora: unknown argument "-hlep"', r.stderr)

    def test_1_start_up_lines(self):
        lines = self.server.lines
        self.assertEqual(lines[0], "Debugging DHCP Server.")
        self.assertIsNotNone(self.server.wait_for(f" Tolmark DHCP Server {VERSION}", timeout=1))
        self.assertRegex(lines[1], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Tolmark DHCP Server " + re.escape(VERSION) + "$")
        self.assertIsNotNone(self.server.wait_for(" local IP address 10.77.0.1", timeout=1))
        self.assertIsNotNone(self.server.wait_for(" local IP address 10.78.0.1, excluded", timeout=1))
        self.assertIsNone(self.server.wait_for("Server on 10.78.0.1", timeout=0.5))
        # No profile was configured: the log says where the server looked and what it made.
        made = self.server.wait_for("DHCP  Start   no profile in ", timeout=1)
        self.assertIsNotNone(made)
        self.assertRegex(lines[made], r"no profile in /\S+\.ini: one made for each served interface, 1 in all$")

    def test_2_error_line_for_a_short_request(self):
        mark = len(self.server.lines)
        self.send(self.cli, to="10.77.0.1", bind="10.77.0.2", length=235, hw="00:11:22:33:44:55")
        i = self.server.wait_for("DHCP  Error   in request from", start=mark)
        self.assertIsNotNone(i)
        self.assertRegex(self.server.lines[i], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d DHCP  Error   in request from "
                         r"00:11:22:33:44:55 \(10\.77\.0\.2\), len 235, if 10\.77\.0\.1$")
        # A full-length one is no error; a reply op code is.
        self.send(self.cli, to="10.77.0.1", bind="10.77.0.2", length=236, hw="00:11:22:33:44:66")
        self.send(self.cli, to="10.77.0.1", bind="10.77.0.2", length=300, op=2, hw="00:11:22:33:44:77")
        self.assertIsNotNone(self.server.wait_for("00:11:22:33:44:77", start=mark))
        self.assertIsNone(self.server.wait_for("in request from 00:11:22:33:44:66", start=mark, timeout=0.3))

    def test_3_a_broadcast_is_answered_once_and_never_on_an_excluded_address(self):
        replies = self.probe(self.cli, self.cli_dev, "02:00:00:00:00:31")
        self.assertEqual(len(replies), 1, replies)
        self.assertEqual(replies[0]["src"], "10.77.0.1")
        self.assertEqual(replies[0]["type"], 2)  # OFFER
        self.assertTrue(replies[0]["yiaddr"].startswith("10.77.0."))
        self.assertIsNotNone(self.server.wait_for(" DHCP  Discov. 02:00:00:00:00:31 (10.77.0.2) if 10.77.0.1",
                                                  timeout=2))
        mark = len(self.server.lines)
        self.assertEqual(self.probe(self.cli2, self.cli2_dev, "02:00:00:00:00:32"), [])
        self.server.settle(0.3)
        self.assertFalse(any("02:00:00:00:00:32" in line for line in self.server.lines[mark:]))

    def test_4_address_changes_are_followed(self):
        mark = len(self.server.lines)
        start = time.monotonic()
        self.lab.ns_run(self.srv, "ip", "addr", "add", "10.77.0.9/24", "dev", f"{self.lab.prefix}xa")
        self.assertIsNotNone(self.server.wait_for(" local IP address 10.77.0.9, added", start=mark, timeout=10))
        self.assertIsNotNone(self.server.wait_for(" DHCP  Start   Server on 10.77.0.9", start=mark, timeout=10))
        self.assertLess(time.monotonic() - start, 10)
        # The new address is served: a request sent to it is looked at.
        mark = len(self.server.lines)
        self.send(self.cli, to="10.77.0.9", bind="10.77.0.2", length=235)
        self.assertIsNotNone(self.server.wait_for("len 235, if 10.77.0.9", start=mark))

        mark = len(self.server.lines)
        start = time.monotonic()
        self.lab.ns_run(self.srv, "ip", "addr", "del", "10.77.0.9/24", "dev", f"{self.lab.prefix}xa")
        self.assertIsNotNone(self.server.wait_for(" local IP address 10.77.0.9, removed", start=mark, timeout=10))
        self.assertIsNotNone(self.server.wait_for(" DHCP  Stop    Server on 10.77.0.9", start=mark, timeout=10))
        self.assertLess(time.monotonic() - start, 10)

    def test_5_malformed_datagrams_harm_nothing(self):
        self.lab.ns_run(self.cli, sys.executable, os.path.join(HERE, "malformed_corpus.py"), "--to", "10.77.0.1",
                        "--bind", "10.77.0.2")
        self.server.settle(0.5)
        self.assertIsNone(self.server.proc.poll(), "\n".join(self.server.lines[-20:]))
        replies = self.probe(self.cli, self.cli_dev, "02:00:00:00:00:33")
        self.assertEqual([r["type"] for r in replies], [2])
        # Longer than the receive buffer: cut there, its message type would be lost and the
        # DISCOVER taken for a BOOTP request. It is dropped; one of exactly 1500 bytes is not.
        self.assertEqual(self.probe(self.cli, self.cli_dev, "02:00:00:00:00:34", pad=1300), [])
        self.assertEqual([r["type"] for r in self.probe(self.cli, self.cli_dev, "02:00:00:00:00:35", pad=1251)], [2])

    def test_6_sigint_stops_cleanly(self):
        proc = self.server.proc
        # Signal the server itself, not the "ip netns exec" wrapper (which execs into it).
        start = time.monotonic()
        proc.send_signal(signal.SIGINT)
        try:
            code = proc.wait(timeout=2)
        except Exception:
            self.fail("server did not stop within 2 seconds")
        self.assertLess(time.monotonic() - start, 2.0)
        self.assertEqual(code, 0)
        self.assertIsNotNone(self.server.wait_for("Stopping DHCP Server.", timeout=1))


class ServiceMode(unittest.TestCase):
    """Started as the service manager starts it: status notifications, a log file, SIGTERM."""

    def test_notifications_log_file_and_stop(self):
        import socket
        import glob
        lab = netns.Lab("sv")
        notify = None
        try:
            srv = lab.namespace("s")
            cli = lab.namespace("c")
            lab.link(srv, "10.79.0.1/24", cli, "10.79.0.2/24", f"{lab.prefix}x")
            notify_path = os.path.join(lab.dir, "notify")
            notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            notify.bind(notify_path)
            env = {"TOLMARK_REGISTRY": netns.write_config(lab.dir, {"Log": "2"}), "NOTIFY_SOCKET": notify_path}

            def log_text():
                files = glob.glob(os.path.join(lab.dir, "dhcp????.log"))
                if not files:
                    return ""
                with open(files[0]) as f:
                    return f.read()

            def wait_ready():
                messages = []
                while not any(m.startswith("READY=1") for m in messages):
                    messages.append(notify.recv(4096).decode())
                return messages

            def hold_port(address, port=67):
                holder = netns.Process(["ip", "netns", "exec", srv, sys.executable, "-c", "import socket, time; "
                                        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
                                        f"s.bind(('{address}', {port})); print('held', flush=True); time.sleep(60)"])
                self.assertIsNotNone(holder.wait_for("held", timeout=10))
                return holder

            # Another DHCP server holds the port on the one served address and TFTP is off:
            # nothing can be served, so the start fails before "running" is told.
            holder = hold_port("10.79.0.1")
            failed = netns.Process(["ip", "netns", "exec", srv, VELKORA], env=env)
            self.assertEqual(failed.proc.wait(timeout=15), 1)
            holder.kill()
            notify.settimeout(0.5)
            told = []
            while True:
                try:
                    told.append(notify.recv(4096).decode())
                except socket.timeout:
                    break
            self.assertFalse([m for m in told if m.startswith("READY=1")], told)
            for line in (" DHCP  Error   failed to start server on 10.79.0.1\n", " DHCP  Error   UDP port 67 is held by "
                         "another program on 10.79.0.1; tried again every 10 seconds\n", " DHCP  Error   no address "
                         "can be served and TFTP does not run; not started\n"):
                self.assertIn(line, log_text())
            # With TFTP serving the start goes on; the port is taken once the other server lets go.
            netns.write_config(lab.dir, {"Log": "2", "TFTPEnable": "1"})
            holder = hold_port("0.0.0.0")
            notify.settimeout(10)
            server = netns.Process(["ip", "netns", "exec", srv, VELKORA], env=env)
            messages = wait_ready()
            self.assertEqual(messages[0], "STATUS=Starting DHCP Server\nEXTEND_TIMEOUT_USEC=3000000")
            self.assertEqual(messages[1], messages[0])  # service main, then the service start
            self.assertTrue(messages[2].startswith("READY=1"))
            self.assertIn(" UDP port 67 is held by another program on 0.0.0.0; tried again", log_text())

            def server_state():  # the status record's word the manager shows as the state
                script = (f"import sys, struct; sys.path.insert(0, {HERE!r}); import pipe_peer as p; "
                          "print(struct.unpack_from('<i', p.transact_local(p.local_socket(), p.message(12, -1)), 52)[0])")
                return int(lab.ns_run(srv, sys.executable, "-c", script).stdout)

            self.assertEqual(server_state(), 3)  # " Error, Port 67 already in use"
            holder.kill()

            # The log goes to this month's file in the data directory.
            deadline = time.monotonic() + 20
            text = ""
            while time.monotonic() < deadline and "Start   Server on 10.79.0.1" not in text:
                time.sleep(0.1)
                text = log_text()
            self.assertIn(f" Tolmark DHCP Server {VERSION}\n", text)
            self.assertIn(" local IP address 10.79.0.1\n", text)
            self.assertIn(" DHCP  Start   Server on 10.79.0.1\n", text)
            self.assertEqual(server_state(), 0)

            server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(server.proc.wait(timeout=5), 0)
            self.assertTrue(notify.recv(4096).decode().startswith("STOPPING=1"))
            # The usage text is for whoever types the command, not for the journal of every start.
            server.wait_for("never printed", timeout=0.5)
            self.assertFalse([line for line in server.lines if "Please wait" in line or "-install" in line],
                             server.lines)
            server.kill()

            # TFTP's port held at start: DHCP is served meanwhile, and TFTP starts once the other
            # program lets go, without a restart.
            holder = hold_port("0.0.0.0", 69)
            server = netns.Process(["ip", "netns", "exec", srv, VELKORA], env=env)
            wait_ready()
            self.assertIn(" TFTP  Error   UDP port 69 is held by another program on 0.0.0.0; tried again every 10 "
                          "seconds\n", log_text())
            self.assertEqual(server_state(), 4)  # TFTP does not run
            ready_before = log_text().count(" TFTP  ready   on port 69")
            holder.kill()
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and log_text().count(" TFTP  ready   on port 69") == ready_before:
                time.sleep(0.2)
            self.assertEqual(log_text().count(" TFTP  ready   on port 69"), ready_before + 1)
            self.assertEqual(server_state(), 0)
            server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(server.proc.wait(timeout=5), 0)
            server.kill()
        finally:
            if notify is not None:
                notify.close()
            lab.close()


if __name__ == "__main__":
    netns.main(globals())
