"""A PostgreSQL server of a test or a benchmark: a cluster made with initdb in a directory of its
own, run as the postgres user (in a network namespace when one is given), reached on a Unix
socket in that directory and, when an address is given, on that address."""

import glob
import shutil
import tempfile

import netns


def available():
    return bool(glob.glob("/usr/lib/postgresql/*/bin/initdb"))


class Cluster:
    def __init__(self, prefix, ns=None, address=None, trusted_net=None):
        self.ns, self.address = ns, address
        self.bin = sorted(glob.glob("/usr/lib/postgresql/*/bin"))[-1]
        # Of its own: a test lab's directory is root's alone.
        self.dir = tempfile.mkdtemp(prefix=prefix + "-pg-")
        shutil.chown(self.dir, "postgres", "postgres")
        self.as_postgres(f"{self.bin}/initdb", "-D", f"{self.dir}/data", "-A", "trust", "-U", "postgres",
                         "--no-sync", "-E", "UTF8")
        if trusted_net:
            with open(f"{self.dir}/data/pg_hba.conf", "a") as f:
                f.write(f"host all all {trusted_net} trust\n")
        self.start()

    def as_postgres(self, *args, check=True):
        prefix = ["ip", "netns", "exec", self.ns] if self.ns else []
        return netns.run(*prefix, "runuser", "-u", "postgres", "--", *args, check=check)

    def start(self):
        listen = self.address or "''"
        self.as_postgres(f"{self.bin}/pg_ctl", "-D", f"{self.dir}/data", "-l", f"{self.dir}/log", "-w", "-o",
                         f"-k {self.dir} -c listen_addresses={listen} -c fsync=off -c max_connections=50", "start")

    def stop(self, immediate=False):
        """Stops the server; immediate: at once, as a crash would (the next start recovers)."""
        self.as_postgres(f"{self.bin}/pg_ctl", "-D", f"{self.dir}/data", "-m", "immediate" if immediate else "fast",
                         "-w", "stop", check=False)

    def remove(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def sql(self, statement, database="postgres"):
        return netns.run(f"{self.bin}/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", self.dir,
                         "-U", "postgres", "-d", database, "-c", statement).stdout.strip()
