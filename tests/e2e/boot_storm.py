"""A boot storm: many TFTP clients with addresses of their own start at the same moment and each
downloads the same file. Used by the scenario test_boot_storm.py and by bench/tftp_storm.py.

The server's namespace holds a bridge; each client namespace hangs on it by a veth and holds a
share of the client addresses (curl binds each client to its own; atftp, which cannot bind an
address and takes the group's port for itself, needs a namespace of its own). Multicast groups reach every client namespace over the
bridge. Inside each client namespace one launcher (this file run as a program) starts its
clients when the go file appears (it says "waiting" first, and the go file is made only when
every launcher has) and reports, as one JSON line, each client's exit status and end time; so
the clients start within milliseconds of each other however many there are.

    boot_storm.py launch GO_FILE CLIENTS_JSON
"""

import hashlib
import json
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

SERVER = "10.88.0.1"


def client_address(namespace, index):
    return f"10.88.{namespace + 1}.{index + 10}"


class StormLab:
    def __init__(self, tag, namespaces, per_namespace):
        self.lab = netns.Lab(tag)
        self.server_ns = self.lab.namespace("s")
        lab = self.lab
        bridge = f"{lab.prefix}br"
        lab.ns_run(self.server_ns, "ip", "link", "add", bridge, "type", "bridge")
        lab.ns_run(self.server_ns, "ip", "addr", "add", f"{SERVER}/16", "dev", bridge)
        lab.ns_run(self.server_ns, "ip", "link", "set", bridge, "up")
        lab.ns_run(self.server_ns, "ip", "route", "add", "224.0.0.0/4", "dev", bridge)
        self.clients = []  # (namespace name, address)
        self.namespaces = []
        for n in range(namespaces):
            ns = lab.namespace(f"c{n}")
            inside, outside = f"{lab.prefix}v{n}", f"{lab.prefix}w{n}"
            netns.run("ip", "link", "add", inside, "netns", ns, "type", "veth", "peer", "name", outside, "netns",
                      self.server_ns)
            lab.ns_run(self.server_ns, "ip", "link", "set", outside, "master", bridge)
            lab.ns_run(self.server_ns, "ip", "link", "set", outside, "up")
            for i in range(per_namespace):
                lab.ns_run(ns, "ip", "addr", "add", f"{client_address(n, i)}/16", "dev", inside)
                self.clients.append((ns, client_address(n, i)))
            lab.ns_run(ns, "ip", "link", "set", inside, "up")
            lab.ns_run(ns, "ip", "route", "add", "224.0.0.0/4", "dev", inside)
            self.namespaces.append(ns)
        self.dir = lab.dir
        os.chmod(self.dir, 0o755)

    def close(self):
        self.lab.close()

    def storm(self, blksize, name, out_dir, multicast=False, port=69, timeout=600):
        """Every client downloads name at once. Returns (seconds from the start until the last
        client ended, the list of each client's (exit status, output path))."""
        go = os.path.join(out_dir, "go")
        if os.path.exists(go):
            os.unlink(go)
        launchers = []
        outputs = []
        for ns in self.namespaces:
            commands = []
            for index, (client_ns, address) in enumerate(self.clients):
                if client_ns != ns:
                    continue
                out = os.path.join(out_dir, f"copy-{index}.bin")
                outputs.append(out)
                if multicast:
                    commands.append(["atftp", "--option", f"blksize {blksize}", "--option", "multicast", "-g", "-r",
                                     name, "-l", out, SERVER, str(port)])
                else:
                    commands.append(["curl", "-sS", "--interface", address, "--tftp-blksize", str(blksize), "-o", out,
                                     f"tftp://{SERVER}:{port}/{name}"])
            launchers.append(subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, os.path.abspath(__file__),
                                               "launch", go, json.dumps(commands), str(timeout)],
                                              stdout=subprocess.PIPE, text=True))
        # Every launcher says when it waits for the go file: a hundred interpreters take seconds
        # to start on two cores, and a start before they all wait would have them compete with
        # the first clients.
        for launcher in launchers:
            if launcher.stdout.readline().strip() != "waiting":
                raise RuntimeError("a storm launcher did not start")
        start = time.time()
        with open(go, "w"):
            pass
        results = []
        for launcher in launchers:
            out, _ = launcher.communicate(timeout=timeout + 30)
            results.extend(json.loads(out))
        end = max(finished for _, finished in results)
        return end - start, [(status, path) for (status, _), path in zip(results, outputs)]


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest()


def launch(go, commands, timeout):
    # Waits for the go file without a busy loop of many launchers: inotify would be nicer, a
    # few milliseconds' sleep is enough for a start that all launchers see within them.
    deadline = time.monotonic() + 60
    print("waiting", flush=True)
    while not os.path.exists(go):
        if time.monotonic() > deadline:
            sys.exit("no go file")
        time.sleep(0.002)
    procs = [subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for c in commands]
    by_pid = {p.pid: i for i, p in enumerate(procs)}
    results = [None] * len(procs)
    # Blocking waits (no polling that would take CPU from the clients), bounded by an alarm
    # that kills what still runs.
    def kill_the_rest():
        for i, p in enumerate(procs):
            if results[i] is None:
                p.kill()
    killer = threading.Timer(timeout, kill_the_rest)
    killer.start()
    try:
        for _ in procs:
            pid, status = os.wait()
            results[by_pid[pid]] = (os.waitstatus_to_exitcode(status), time.time())
    finally:
        killer.cancel()
    print(json.dumps(results))


if __name__ == "__main__" and len(sys.argv) >= 4 and sys.argv[1] == "launch":
    launch(sys.argv[2], json.loads(sys.argv[3]), float(sys.argv[4]) if len(sys.argv) > 4 else 600)
