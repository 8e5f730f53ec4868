"""Test hosts in network namespaces joined by veth pairs, and a Velkora process to watch.

Everything a scenario creates carries the scenario's own prefix and is deleted when it ends,
so several runs can share a machine. Traffic only ever goes between these namespaces.
"""

import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77


def require_root():
    if os.geteuid() != 0:
        print("SKIPPED: network namespace scenarios need root (CI runs them as root)")
        sys.exit(SKIP)
    if shutil.which("ip") is None:
        print("SKIPPED: the ip command (iproute2) is missing")
        sys.exit(SKIP)
    probe = f"tkprobe{os.getpid()}"
    if subprocess.run(["ip", "netns", "add", probe], capture_output=True).returncode != 0:
        print("SKIPPED: this machine does not allow creating network namespaces")
        sys.exit(SKIP)
    subprocess.run(["ip", "netns", "del", probe], capture_output=True)


def run(*args, check=True):
    result = subprocess.run(list(args), capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed: {result.stderr.strip()}")
    return result


class Lab:
    """Two or more namespaces; veth links between them."""

    def __init__(self, tag):
        self.prefix = f"tk{tag}{os.getpid() % 100000}"
        self.namespaces = []
        self.dir = tempfile.mkdtemp(prefix=self.prefix + "-")

    def namespace(self, name):
        full = f"{self.prefix}{name}"
        run("ip", "netns", "add", full)
        self.namespaces.append(full)
        self.ns_run(full, "ip", "link", "set", "lo", "up")
        return full

    def ns_run(self, ns, *args, check=True):
        return run("ip", "netns", "exec", ns, *args, check=check)

    def link(self, ns_a, addr_a, ns_b, addr_b, name):
        a, b = f"{name}a", f"{name}b"
        run("ip", "link", "add", a, "netns", ns_a, "type", "veth", "peer", "name", b, "netns", ns_b)
        for ns, dev, addr in ((ns_a, a, addr_a), (ns_b, b, addr_b)):
            if addr:
                self.ns_run(ns, "ip", "addr", "add", addr, "dev", dev)
            self.ns_run(ns, "ip", "link", "set", dev, "up")
        return a, b

    def close(self):
        for ns in self.namespaces:
            run("ip", "netns", "pids", ns, check=False)
            pids = run("ip", "netns", "pids", ns, check=False).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            run("ip", "netns", "del", ns, check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


def write_config(directory, general):
    """A registry stand-in pointing the data directory at `directory`, and its Dorvane.ini."""
    registry = os.path.join(directory, "registry.ini")
    with open(registry, "w") as f:
        f.write(f"[Dorvane]\nDirectory={directory}/\n")
    with open(os.path.join(directory, "Dorvane.ini"), "w") as f:
        f.write("[Dorvane]\n")
        for key, value in general.items():
            f.write(f"{key}={value}\n")
    return registry


class Process:
    """A process whose standard output is collected line by line."""

    def __init__(self, args, env=None):
        self.lines = []
        self.pending = queue.Queue()
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
                                     env=full_env, bufsize=1)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.pending.put(line.rstrip("\n"))
        self.pending.put(None)

    def _drain(self, timeout):
        try:
            line = self.pending.get(timeout=timeout)
        except queue.Empty:
            return False
        if line is not None:
            self.lines.append(line)
        return line is not None

    def wait_for(self, text, timeout=10.0, start=0):
        """Index of the first line from `start` on that contains text, or None at the time limit."""
        deadline = time.monotonic() + timeout
        checked = start
        while True:
            for i in range(checked, len(self.lines)):
                if text in self.lines[i]:
                    return i
            checked = max(checked, len(self.lines))
            left = deadline - time.monotonic()
            if left <= 0 or not self._drain(min(left, 0.2)) and self.proc.poll() is not None and self.pending.empty():
                for i in range(checked, len(self.lines)):
                    if text in self.lines[i]:
                        return i
                return None

    def settle(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._drain(0.05)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def start_velkora(lab, ns, velkora, registry, ready, *args, timeout=15):
    """Velkora -debug in a namespace, once its output shows `ready`; the lab is closed and an
    error raised when it does not start."""
    server = Process(["ip", "netns", "exec", ns, velkora, "-debug", *args], env={"TOLMARK_REGISTRY": registry})
    if server.wait_for(ready, timeout=timeout) is None:
        server.kill()
        lab.close()
        raise RuntimeError("server did not start:\n" + "\n".join(server.lines))
    return server


def main(module_globals, needs_root=True):
    """Runs a scenario file's tests: --velkora names the executable, stored as VELKORA."""
    import argparse
    import unittest

    parser = argparse.ArgumentParser()
    parser.add_argument("--velkora", required=True)
    args, rest = parser.parse_known_args()
    module_globals["VELKORA"] = os.path.abspath(args.velkora)
    if needs_root:
        require_root()
    result = unittest.main(module=module_globals["__name__"], argv=[sys.argv[0]] + rest, exit=False,
                           verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
