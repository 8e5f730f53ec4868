"""What a server process costs, for the benchmarks: CPU time of the process with its threads and
every child it forks (tftpd-hpa forks one per transfer and lets the kernel reap them, so their
time never reaches its own /proc figures), and peaks of threads, resident memory and open
descriptors sampled while a scenario runs.

CPU time comes from a cgroup of the unified (v2) hierarchy made for the server: it counts every
process and thread in it, also those that have ended. Without a writable cgroup2 mount the CPU
time falls back to /proc/<pid>/stat of the server alone (threads included, forked children not).
"""

import os
import threading
import time


def cgroup2_mount():
    with open("/proc/mounts") as f:
        for line in f:
            fields = line.split()
            if len(fields) > 2 and fields[2] == "cgroup2":
                return fields[1]
    return None


class Usage:
    """One server process (and its children), placed in a cgroup of its own when it can be."""

    def __init__(self, name, pid):
        self.pid = pid
        self.group = None
        mount = cgroup2_mount()
        if mount is not None:
            group = os.path.join(mount, f"tkbench{os.getpid()}-{name}")
            try:
                os.makedirs(group, exist_ok=True)
                with open(os.path.join(group, "cgroup.procs"), "w") as f:
                    f.write(str(pid))
                self.group = group
            except OSError:
                pass

    def pids(self):
        if self.group is None:
            return [self.pid]
        with open(os.path.join(self.group, "cgroup.procs")) as f:
            return [int(p) for p in f.read().split()]

    def cpu_seconds(self):
        if self.group is not None:
            with open(os.path.join(self.group, "cpu.stat")) as f:
                for line in f:
                    key, value = line.split()
                    if key == "usage_usec":
                        return int(value) / 1e6
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def counts_children(self):
        return self.group is not None

    def snapshot(self):
        """Threads, resident kB, proportional resident kB and descriptors of all its processes."""
        threads = rss = pss = fds = 0
        for pid in self.pids():
            try:
                with open(f"/proc/{pid}/status") as f:
                    for line in f:
                        if line.startswith("Threads:"):
                            threads += int(line.split()[1])
                        elif line.startswith("VmRSS:"):
                            rss += int(line.split()[1])
                with open(f"/proc/{pid}/smaps_rollup") as f:
                    for line in f:
                        if line.startswith("Pss:"):
                            pss += int(line.split()[1])
                fds += len(os.listdir(f"/proc/{pid}/fd"))
            except (FileNotFoundError, ProcessLookupError, PermissionError):
                continue  # a child that has just ended
        return threads, rss, pss, fds

    def close(self):
        if self.group is None:
            return
        for _ in range(50):
            try:
                os.rmdir(self.group)
                return
            except OSError:
                time.sleep(0.1)


class PeakSampler:
    """Samples a Usage every `interval` seconds on a thread of its own and keeps the peaks. Not
    much more often: a sample of a server that forks a process per client reads three /proc
    files of each, which at a hundred clients takes a share of the CPU the clients need."""

    def __init__(self, usage, interval=0.1):
        self.usage = usage
        self.interval = interval
        self.peak = [0, 0, 0, 0]
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            for i, value in enumerate(self.usage.snapshot()):
                self.peak[i] = max(self.peak[i], value)
            self._stop.wait(self.interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def text(self):
        threads, rss, pss, fds = self.peak
        return f"{threads} threads, {rss / 1024:.1f} MB resident ({pss / 1024:.1f} MB proportional), {fds} descriptors"
