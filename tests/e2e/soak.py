"""Soak: Velkora under a steady load of every kind at once, with a restart in the middle.

In network namespaces made for the run, perfdhcp (as a relay agent) keeps DORA exchanges going at a
steady rate with renewals and releases, a TFTP client downloads a file over and over and checks
each copy, and trisko lists the leases through the control pipe every second. Halfway through,
Velkora is stopped with SIGTERM and started again on the same data directory.

It fails when
- a lease acknowledged before the stop (its last event in the server's log an ACK, not a release)
  is missing from the lease list after the restart, or from the dynamic file at the end;
- resident memory (VmRSS) or the count of open descriptors grows in either half once the client
  table is full: the highest sample of the last third may exceed the highest of the middle third
  by at most the stated tolerance;
- a TFTP copy differs from the file, or a listing fails, while the server is up;
- the server's output holds a sanitizer's report (a build with AddressSanitizer and
  UndefinedBehaviorSanitizer writes them there unless ASAN_OPTIONS/UBSAN_OPTIONS name a log_path;
  a leak found at exit also shows as the exit code). Such a build keeps freed memory in its
  quarantine (256 MB), so its VmRSS is shown but not judged; descriptors still are.

    sudo python3 tests/e2e/soak.py --velkora build/default/bin/Velkora                # 75 s, as in CTest
    sudo python3 tests/e2e/soak.py --velkora build/default/bin/Velkora --minutes 30   # by hand
    sudo python3 tests/e2e/soak.py --velkora build/asan/bin/Velkora --minutes 8 --output soak.log

Every loop is bounded in count and in time; all traffic stays between the run's namespaces.
Exit 77 (skipped) without root, namespaces, perfdhcp or curl."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

SERVER = "10.66.0.1"
RELAY = "10.66.0.2"
RSS_TOLERANCE_KB = 4096  # besides 5 per cent of the middle third's highest sample
FD_TOLERANCE = 2         # a transfer or a pipe connection open at the moment of a sample
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|: runtime error: ")
ACK = re.compile(r"DHCP  Request ([0-9a-f:]{17}) ACK (\d+\.\d+\.\d+\.\d+) ")
RELEASE = re.compile(r"DHCP  Release ([0-9a-f:]{17}) ")


def acknowledged(lines):
    """Client -> address of every client whose last event in the log lines is an ACK."""
    leases = {}
    for line in lines:
        m = ACK.search(line)
        if m:
            leases[m.group(1)] = m.group(2)
            continue
        m = RELEASE.search(line)
        if m:
            leases.pop(m.group(1), None)
    return leases


class Soak:
    def __init__(self, args):
        self.args = args
        self.velkora = os.path.abspath(args.velkora)
        with open(self.velkora, "rb") as f:
            self.sanitized = b"__asan_init" in f.read()
        self.trisko = os.path.join(os.path.dirname(self.velkora), "trisko")
        self.lab = netns.Lab("sk")
        self.srv = self.lab.namespace("s")
        self.cli = self.lab.namespace("c")
        self.lab.link(self.srv, f"{SERVER}/24", self.cli, f"{RELAY}/24", f"{self.lab.prefix}x")
        self.data = os.path.join(self.lab.dir, "data")
        self.tftp_root = os.path.join(self.lab.dir, "tftp")
        os.makedirs(self.data)
        os.makedirs(self.tftp_root)
        self.file = bytes((i * 7 + i // 251) & 0xFF for i in range(256 * 1024 + 77))
        with open(os.path.join(self.tftp_root, "boot.img"), "wb") as f:
            f.write(self.file)
        self.registry = netns.write_config(self.data, {
            "Log": 1, "Profile0": "Relayed", "TFTPEnable": 1, "TFTPMode": 0,
            "TFTPDirectory": self.tftp_root + "/", "TFTPTimeout": 1, "TFTPRetransmit": 2,
        })
        with open(os.path.join(self.data, "Dorvane.ini"), "a") as f:
            f.write(f"[Relayed]\nRelayIP={RELAY}\nBaseIP=10.67.0.10\nRange=60000\nSubnetMask=255.255.0.0\n"
                    "Lease=86400\n")
        self.pipe = f"tolmark_soak_{os.getpid()}"
        self.env = {"TOLMARK_REGISTRY": self.registry, "TOLMARK_PIPE": self.pipe}
        self.server = None
        self.up = threading.Event()
        self.restarts = 0  # a download or listing that spans a stop may fail
        self.stop = threading.Event()
        self.samples = []  # (seconds since start, run 1 or 2, VmRSS kB, descriptors)
        self.counts = {"tftp ok": 0, "tftp failed": 0, "tftp wrong": 0, "listings": 0, "listing failed": 0}
        self.failures = []

    # The server.
    def start_server(self):
        self.server = netns.Process(["ip", "netns", "exec", self.srv, self.velkora, "-debug"], env=self.env)
        if self.server.wait_for(f"DHCP  Start   Server on {SERVER}", timeout=20) is None:
            raise RuntimeError("Velkora did not start:\n" + "\n".join(self.server.lines[-30:]))
        # The control pipe opens just after the DHCP sockets: a slow server (under valgrind or a
        # sanitizer) is up once it answers a listing too.
        deadline = time.monotonic() + 20
        while self.listing() is None:
            if time.monotonic() >= deadline or self.server.proc.poll() is not None:
                raise RuntimeError("Velkora's control pipe did not answer within 20 s of its start")
            time.sleep(0.2)
        self.up.set()

    def stop_server(self):
        self.up.clear()
        self.restarts += 1
        self.server.proc.send_signal(signal.SIGTERM)
        try:
            self.server.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.server.kill()
            raise RuntimeError("Velkora did not stop within 30 s of SIGTERM")
        self.server.settle(0.5)  # the last lines it wrote
        if self.server.proc.returncode != 0:
            self.failures.append(f"Velkora ended with exit code {self.server.proc.returncode} after SIGTERM")
        reports = [line for line in self.server.lines if SANITIZER_REPORT.search(line)]
        if reports:
            self.failures.append(f"run {self.run_number}: {len(reports)} sanitizer reports, the first: {reports[0]}")
        if self.args.output:
            with open(self.args.output, "a") as f:
                f.write("".join(f"{line}\n" for line in self.server.lines))
        return list(self.server.lines)

    def listing(self):
        """Client -> address of the dynamic list, through the control pipe."""
        result = subprocess.run(["ip", "netns", "exec", self.srv, self.trisko, "print", "dynamic"],
                                capture_output=True, text=True, timeout=30, env={**os.environ, **self.env})
        # trisko's exit code 1 means success, 0 failure.
        if result.returncode != 1 or not result.stdout.startswith("MAC/ID"):
            return None
        leases = {}
        for line in result.stdout.splitlines()[2:]:
            fields = line.split()
            if len(fields) >= 2:
                leases[fields[0].replace("-", ":")] = fields[1]  # trisko writes 00-0c-01-...
        return leases

    def dynamic_file(self):
        leases = {}
        with open(os.path.join(self.data, "dynamic")) as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 2:
                    leases[fields[0]] = fields[1]
        return leases

    def check_kept(self, expected, found, where):
        missing = [(c, a) for c, a in expected.items() if found is None or found.get(c) != a]
        if missing:
            self.failures.append(f"{len(missing)} of {len(expected)} acknowledged leases missing {where}, "
                                 f"for example {missing[:3]}")
        return len(expected) - len(missing)

    # The load besides perfdhcp, each a bounded loop on its own thread.
    def sampler(self, started, deadline):
        while not self.stop.is_set() and time.monotonic() < deadline:
            server = self.server
            if self.up.is_set() and server is not None and server.proc.poll() is None:
                pid = server.proc.pid
                try:
                    with open(f"/proc/{pid}/status") as f:
                        rss = int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))
                    fds = len(os.listdir(f"/proc/{pid}/fd"))
                    self.samples.append((time.monotonic() - started, self.run_number, rss, fds))
                except (OSError, AttributeError):
                    pass
            self.stop.wait(1.0)

    def downloads(self, deadline):
        target = os.path.join(self.lab.dir, "copy.img")
        for _ in range(100000):
            if self.stop.is_set() or time.monotonic() >= deadline:
                return
            if not self.up.is_set():
                self.stop.wait(0.2)
                continue
            restarts = self.restarts
            r = subprocess.run(["ip", "netns", "exec", self.cli, "curl", "-s", "--max-time", "20", "-o", target,
                                f"tftp://{SERVER}/boot.img"], capture_output=True, timeout=60)
            if r.returncode == 0:
                with open(target, "rb") as f:
                    same = f.read() == self.file
                self.counts["tftp ok" if same else "tftp wrong"] += 1
            elif restarts == self.restarts and self.up.is_set():
                self.counts["tftp failed"] += 1

    def listings(self, deadline):
        for _ in range(100000):
            if self.stop.is_set() or time.monotonic() >= deadline:
                return
            if self.up.is_set():
                restarts = self.restarts
                if self.listing() is not None:
                    self.counts["listings"] += 1
                elif restarts == self.restarts and self.up.is_set():
                    self.counts["listing failed"] += 1
            self.stop.wait(1.0)

    def flat(self, run):
        """Growth of memory and descriptors over the last third of a run against its middle third."""
        samples = [s for s in self.samples if s[1] == run]
        if len(samples) < 9:
            self.failures.append(f"run {run}: only {len(samples)} samples")
            return
        third = len(samples) // 3
        middle, last = samples[third:2 * third], samples[2 * third:]
        rss_mid, rss_last = max(s[2] for s in middle), max(s[2] for s in last)
        fd_mid, fd_last = max(s[3] for s in middle), max(s[3] for s in last)
        rss_allowed = max(RSS_TOLERANCE_KB, rss_mid // 20)
        print(f"run {run}: VmRSS {min(s[2] for s in samples)}..{max(s[2] for s in samples)} kB, "
              f"middle third at most {rss_mid} kB, last third at most {rss_last} kB "
              f"({'not judged, a sanitizer build' if self.sanitized else f'allowed +{rss_allowed}'}); "
              f"descriptors middle {fd_mid}, last {fd_last} (allowed +{FD_TOLERANCE})")
        if rss_last > rss_mid + rss_allowed and not self.sanitized:
            self.failures.append(f"run {run}: VmRSS grew from {rss_mid} kB to {rss_last} kB")
        if fd_last > fd_mid + FD_TOLERANCE:
            self.failures.append(f"run {run}: descriptors grew from {fd_mid} to {fd_last}")

    def run(self):
        total = self.args.minutes * 60
        started = time.monotonic()
        deadline = started + total + 120
        self.run_number = 1
        self.start_server()
        perf = subprocess.Popen(
            ["ip", "netns", "exec", self.cli, "perfdhcp", "-4", "-l", RELAY, "-R", str(self.args.clients),
             "-r", str(self.args.rate), "-f", str(self.args.rate // 4), "-F", str(self.args.rate // 10),
             "-p", str(int(total)), SERVER], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threads = [threading.Thread(target=self.sampler, args=(started, deadline)),
                   threading.Thread(target=self.downloads, args=(deadline,)),
                   threading.Thread(target=self.listings, args=(deadline,))]
        for t in threads:
            t.start()
        output = ""
        try:
            time.sleep(total / 2)
            first = self.stop_server()
            before = acknowledged(first)
            self.run_number = 2
            self.start_server()
            kept = self.check_kept(before, self.listing(), "from the list after the restart")
            print(f"restart: {kept} of {len(before)} leases acknowledged before the stop are listed after it",
                  flush=True)
            try:
                output, _ = perf.communicate(timeout=max(1, started + total + 60 - time.monotonic()))
            except subprocess.TimeoutExpired:
                perf.kill()
                output, _ = perf.communicate()
                self.failures.append("perfdhcp did not end within a minute of its test period")
        finally:
            self.stop.set()
            for t in threads:
                t.join(timeout=90)
            if perf.poll() is None:
                perf.kill()
        second = self.stop_server()
        self.counts["ACK lines"] = sum(1 for line in first + second if ACK.search(line))
        self.counts["release lines"] = sum(1 for line in first + second if RELEASE.search(line))
        everything = acknowledged(first + second)
        kept = self.check_kept(everything, self.dynamic_file(), "from the dynamic file at the end")
        print(f"end: {kept} of {len(everything)} leases acknowledged in the whole run are in the dynamic file")
        return output

    def report(self, perf_output):
        for key in ("sent packets", "received packets", "drops"):
            values = re.findall(rf"{key}: (\d+)", perf_output)
            print(f"perfdhcp {key}: {' / '.join(values)} (DISCOVER-OFFER / REQUEST-ACK / renew / release)")
        print(", ".join(f"{k}: {v}" for k, v in self.counts.items()))
        for run in (1, 2):
            self.flat(run)
        if self.counts["tftp ok"] == 0 or self.counts["listings"] == 0 or self.counts["release lines"] == 0:
            self.failures.append("no TFTP download, listing or release went through")
        for key in ("tftp wrong", "tftp failed", "listing failed"):
            if self.counts[key]:
                self.failures.append(f"{key}: {self.counts[key]}")
        for failure in self.failures:
            print(f"FAILED: {failure}")
        return not self.failures

    def close(self):
        if self.server is not None:
            self.server.kill()
        self.lab.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--velkora", required=True)
    p.add_argument("--minutes", type=float, default=1.25)
    p.add_argument("--rate", type=int, default=200, help="DORA exchanges a second")
    p.add_argument("--clients", type=int, default=2000)
    p.add_argument("--output", help="append the server's output of both runs to this file")
    args = p.parse_args()
    netns.require_root()
    for tool in ("perfdhcp", "curl"):
        if shutil.which(tool) is None:
            print(f"SKIPPED: {tool} is missing (scripts/install-deps.sh installs kea-admin and curl)")
            sys.exit(netns.SKIP)
    soak = Soak(args)
    try:
        output = soak.run()
        ok = soak.report(output)
    finally:
        soak.close()
    print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
