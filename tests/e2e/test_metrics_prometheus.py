"""The metrics page read by a real Prometheus server: Velkora in a namespace with MetricsListen,
whose port another program holds at the start (DHCP and TFTP are served meanwhile, the port is
taken once it is free), Prometheus beside it scraping every second into a storage directory of the test; a DHCP
exchange (busybox udhcpc), a TFTP download (tftp-hpa), a download refused, and a malformed
datagram; then Prometheus' query API must give the counter values those caused, and
"promtool check metrics" must find nothing wrong with the page. Needs root."""

import json
import os
import shutil
import subprocess
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
HOOK = os.path.join(HERE, "..", "..", "scripts", "client_hook.sh")
SEND = os.path.join(HERE, "send_datagram.py")
VELKORA = None
SERVER = "10.97.0.1"
METRICS = "127.0.0.1:9167"
BOOT_SIZE = 70001  # no multiple of the 512-byte block


class PrometheusScrape(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [t for t in ("prometheus", "promtool", "busybox", "tftp", "curl") if shutil.which(t) is None]
        if missing:
            raise unittest.SkipTest(f"{', '.join(missing)} missing (scripts/install-deps.sh installs them)")
        cls.lab = netns.Lab("pm")
        cls.server = cls.prometheus = cls.holder = None
        try:
            cls.srv = cls.lab.namespace("s")
            cls.cli = cls.lab.namespace("c")
            cls.lab.link(cls.srv, f"{SERVER}/24", cls.cli, None, f"{cls.lab.prefix}x")
            cls.client_dev = f"{cls.lab.prefix}xb"
            cls.root = os.path.join(cls.lab.dir, "tftp")
            os.mkdir(cls.root)
            with open(os.path.join(cls.root, "boot.img"), "wb") as f:
                f.write(os.urandom(BOOT_SIZE))
            with open(os.path.join(cls.root, "other.img"), "wb") as f:
                f.write(b"not the boot file\n")
            registry = netns.write_config(cls.lab.dir, {
                "Profile0": "Lab", "MetricsListen": METRICS, "TFTPEnable": 1, "TFTPMode": 13,
                "TFTPDirectory": cls.root + "/"})
            with open(os.path.join(cls.lab.dir, "Dorvane.ini"), "a") as f:
                f.write(f"[Lab]\nInterfaceIP={SERVER}\nBaseIP=10.97.0.100\nRange=20\nSubnetMask=255.255.255.0\n"
                        f"NextIP={SERVER}\nBootFile=boot.img\n")
            # Another program holds the metrics port at the start: DHCP and TFTP are served all the
            # same, and the port is taken once the other program lets go.
            host, port = METRICS.split(":")
            cls.holder = netns.Process(["ip", "netns", "exec", cls.srv, sys.executable, "-c",
                                        "import socket, time; s = socket.socket(); "
                                        f"s.bind(('{host}', {port})); s.listen(); print('held', flush=True); "
                                        "time.sleep(60)"])
            if cls.holder.wait_for("held", timeout=10) is None:
                raise RuntimeError("\n".join(cls.holder.lines))
            cls.server = netns.start_velkora(cls.lab, cls.srv, VELKORA, registry, "TFTP  ready   on port 69")
            text = "\n".join(cls.server.lines)
            for line in (f"DHCP  Error   MetricsListen {METRICS}: the port is held by another program; tried again "
                         "every 10 seconds", f"DHCP  Start   Server on {SERVER}"):
                if line not in text:
                    raise RuntimeError(f"{line!r} missing:\n{text}")
            cls.holder.kill()
            if cls.server.wait_for(f"metrics on http://{METRICS}/metrics", timeout=30) is None:
                raise RuntimeError("metrics port not taken once free:\n" + "\n".join(cls.server.lines))
            cls.start_prometheus()
        except BaseException:
            cls.stop()
            raise

    @classmethod
    def start_prometheus(cls):
        # The server's namespace is the test's own: every port in it is free.
        cls.web = "127.0.0.1:9090"
        config = os.path.join(cls.lab.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
                    "scrape_configs:\n  - job_name: velkora\n    static_configs:\n"
                    f"      - targets: ['{METRICS}']\n")
        check = subprocess.run(["promtool", "check", "config", config], capture_output=True, text=True, timeout=30)
        if check.returncode != 0:
            raise RuntimeError(check.stdout + check.stderr)
        storage = os.path.join(cls.lab.dir, "prometheus-data")
        cls.prometheus = netns.Process(["ip", "netns", "exec", cls.srv, "prometheus", f"--config.file={config}",
                                        f"--storage.tsdb.path={storage}", f"--web.listen-address={cls.web}",
                                        "--storage.tsdb.retention.time=1h"])
        if cls.prometheus.wait_for("Server is ready to receive web requests", timeout=60) is None:
            raise RuntimeError("prometheus did not start:\n" + "\n".join(cls.prometheus.lines[-30:]))

    @classmethod
    def stop(cls):
        for p in (cls.prometheus, cls.server, cls.holder):
            if p is not None:
                p.kill()
        cls.lab.close()

    @classmethod
    def tearDownClass(cls):
        cls.stop()

    def in_server(self, *args, timeout=20):
        return subprocess.run(["ip", "netns", "exec", self.srv, *args], capture_output=True, timeout=timeout)

    def in_client(self, *args, env=None, timeout=60):
        return subprocess.run(["ip", "netns", "exec", self.cli, *args], capture_output=True, text=True, timeout=timeout,
                              env=env, cwd=self.lab.dir)

    def query(self, expression):
        """The value of an instant query as {labels of the series: value}."""
        url = f"http://{self.web}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
        r = self.in_server("curl", "-s", "--max-time", "5", url)
        answer = json.loads(r.stdout)
        self.assertEqual(answer["status"], "success", answer)
        return {json.dumps(s["metric"], sort_keys=True): float(s["value"][1]) for s in answer["data"]["result"]}

    def scalar(self, expression):
        values = list(self.query(expression).values())
        self.assertEqual(len(values), 1, f"{expression}: {values}")
        return values[0]

    def test_counters_through_prometheus(self):
        # Traffic: a lease, the boot file, a file that is not the boot file, a datagram too short.
        hook_env = dict(os.environ, HOOK_OUT=os.path.join(self.lab.dir, "c.hook"))
        r = self.in_client("busybox", "udhcpc", "-i", self.client_dev, "-n", "-q", "-f", "-t", "3", "-T", "2",
                           "-s", HOOK, env=hook_env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        r = self.in_client("tftp", "-m", "binary", SERVER, "-c", "get", "boot.img", "got.img")
        with open(os.path.join(self.root, "boot.img"), "rb") as a, open(os.path.join(self.lab.dir, "got.img"),
                                                                       "rb") as b:
            self.assertEqual(a.read(), b.read(), r.stdout + r.stderr)
        self.in_client("tftp", "-m", "binary", SERVER, "-c", "get", "other.img", "other.got")
        self.in_client(sys.executable, SEND, "--to", SERVER, "--length", "100", "--device", self.client_dev)
        self.assertIsNotNone(self.server.wait_for("Get/octet", timeout=10))

        expected = {
            'tolmark_dhcp_received_total{type="discover"}': 1,
            'tolmark_dhcp_received_total{type="request"}': 1,
            'tolmark_dhcp_received_total{type="release"}': 0,
            'tolmark_dhcp_replies_total{type="offer"}': 1,
            'tolmark_dhcp_replies_total{type="ack"}': 1,
            'tolmark_dhcp_replies_total{type="nak"}': 0,
            "tolmark_dhcp_malformed_total": 1,
            "tolmark_tftp_transfers_started_total": 1,
            'tolmark_tftp_transfers_ended_total{outcome="done"}': 1,
            'tolmark_tftp_transfers_ended_total{outcome="failed"}': 0,
            "tolmark_tftp_requests_refused_total": 1,
            "tolmark_tftp_sent_bytes_total": BOOT_SIZE,
            "tolmark_tftp_received_bytes_total": 0,
            'tolmark_dhcp_pool_addresses{profile="Lab"}': 20,
            'tolmark_dhcp_pool_leases_in_use{profile="Lab"}': 1,
            'tolmark_dhcp_pool_addresses_free{profile="Lab"}': 19,
            "sum(tolmark_dhcp_replies_total)": 2,
            "count(tolmark_build_info == 1)": 1,
            'up{job="velkora"}': 1,
        }
        want = {k: float(v) for k, v in expected.items()}
        # Each event reaches its counter on the server's own threads: the values are read again
        # until a scrape has seen them all (or the time is up, and the difference is shown).
        deadline = time.monotonic() + 30
        while True:
            got = {expression: list(self.query(expression).values()) for expression in expected}
            got = {k: v[0] if len(v) == 1 else v for k, v in got.items()}
            if got == want or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        self.assertEqual(got, want)
        started = self.scalar("process_start_time_seconds")
        self.assertLess(abs(started - time.time()), 300)

        # The profiles loaded again at run time: no counter starts over, which Prometheus would
        # read as a reset (and rate() as a jump).
        script = ("import sys; sys.path.insert(0, %r); import pipe_peer as p\n"
                  "print(p.status(p.transact_local(p.local_socket(), p.message(p.RELOAD_PROFILES))))\n") % HERE
        r = self.in_server(sys.executable, "-c", script)
        self.assertEqual(r.stdout.split(), [b"0"], r.stderr)
        time.sleep(3)  # three scrapes after the reload
        for family in ("tolmark_dhcp_received_total", "tolmark_dhcp_replies_total", "tolmark_dhcp_malformed_total",
                       "tolmark_tftp_transfers_ended_total", "tolmark_tftp_sent_bytes_total"):
            self.assertEqual(self.scalar(f"sum(resets({family}[1m]))"), 0.0, family)
        self.assertEqual({k: self.scalar(k) for k in expected}, want)

    def test_page_passes_promtool(self):
        r = self.in_server("curl", "-s", "--max-time", "5", f"http://{METRICS}/metrics")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"# TYPE tolmark_dhcp_received_total counter", r.stdout)
        lint = subprocess.run(["promtool", "check", "metrics"], input=r.stdout, capture_output=True, timeout=30)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, b""))


if __name__ == "__main__":
    netns.main(globals())
