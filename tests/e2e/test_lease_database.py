"""Two servers, one lease table: a real PostgreSQL server (initdb and pg_ctl in a directory of
the test, run as the postgres user in a namespace of its own) and two Velkora on one client
segment, both with "LeaseDatabase". Both active: no address goes to two clients; one killed:
the other renews its clients' leases; the database stopped and started: nothing acknowledged is
lost; a server restarted keeps the renewals its files hold that the database missed, but not
the leases removed or released meanwhile; the table restored from a backup gets back the
leases given since; a standby (backup detection) takes over with the leases; libpq hidden from
the server: the database counts as unreachable, and -check says why. PostgreSQL starts once for
the whole file; every test has a database of its own."""

import json
import os
import re
import signal
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import pg_cluster  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
VELKORA = None
DB_ADDRESS = "10.84.0.5"
CLIENT_DEV = None
ACK_LINE = re.compile(r"DHCP  Request (\S+) ACK (\S+) ")


class LeaseDatabaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not pg_cluster.available():
            raise unittest.SkipTest("PostgreSQL server binaries (initdb, pg_ctl) are not installed")
        lab = cls.lab = netns.Lab("ld")
        switch = lab.namespace("w")
        lab.ns_run(switch, "ip", "link", "add", "br0", "type", "bridge")
        lab.ns_run(switch, "ip", "link", "set", "br0", "up")
        cls.ns = {}
        for name, address in (("a", "10.84.0.1/24"), ("b", "10.84.0.2/24"), ("d", DB_ADDRESS + "/24"),
                              ("c", "10.84.0.9/24")):
            ns = lab.namespace(name)
            port, dev = lab.link(switch, None, ns, address, f"{lab.prefix}{name}")
            lab.ns_run(switch, "ip", "link", "set", port, "master", "br0")
            cls.ns[name] = (ns, dev)
        # A renewing client has its address and is answered there: the client namespace takes
        # the pool's addresses (10.84.0.100-199) as its own, and answers ARP for them.
        for pool_part in ("10.84.0.96/27", "10.84.0.128/26", "10.84.0.192/29"):
            lab.ns_run(cls.ns["c"][0], "ip", "route", "add", "local", pool_part, "dev", "lo")
        cls.pg = pg_cluster.Cluster(lab.prefix, cls.ns["d"][0], DB_ADDRESS, "10.84.0.0/24")
        cls.count = 0

    @classmethod
    def tearDownClass(cls):
        cls.pg.remove()
        cls.lab.close()

    def setUp(self):
        LeaseDatabaseTest.count += 1
        self.database = f"leases{self.count}"
        self.pg.sql(f"CREATE DATABASE {self.database}")
        self.servers = {}

    def tearDown(self):
        for server in self.servers.values():
            server.kill()

    def hidden_libpq(self, *command):
        """The command in a mount namespace of its own where libpq.so.5 is an empty file."""
        listed = netns.run("ldconfig", "-p").stdout
        path = next(line.split("=>")[1].strip() for line in listed.splitlines() if "libpq.so.5 " in line)
        empty = os.path.join(self.lab.dir, "empty")
        open(empty, "w").close()
        return ["unshare", "-m", "sh", "-c", 'mount --bind "$0" "$1" && shift && exec "$@"', empty,
                os.path.realpath(path), *command]

    def start(self, name, hide_libpq=False, lan=None, **extra):
        directory = os.path.join(self.lab.dir, f"{name}{self.count}")
        os.makedirs(directory, exist_ok=True)  # a server started again keeps its client files
        own = "10.84.0.1" if name == "a" else "10.84.0.2"
        general = {"Profile0": "LAN", "LeaseDatabase": f"host={DB_ADDRESS} dbname={self.database} user=postgres",
                   "TestHousekeepingMs": "400"}
        general.update(extra)
        registry = netns.write_config(directory, general)
        profile = {"InterfaceIP": own, "BaseIP": "10.84.0.100", "Range": "100", "SubnetMask": "255.255.255.0",
                   "Lease": "3600"}
        profile.update(lan or {})
        with open(os.path.join(directory, "Dorvane.ini"), "a") as f:
            f.write("[LAN]\n" + "".join(f"{key}={value}\n" for key, value in profile.items()))
        command = [VELKORA, "-debug"]
        if hide_libpq:
            command = self.hidden_libpq(*command)
        server = netns.Process(["ip", "netns", "exec", self.ns[name][0], *command], env={"TOLMARK_REGISTRY": registry})
        self.servers[name] = server
        self.assertIsNotNone(server.wait_for("DHCP  Start   Server on", timeout=15), "\n".join(server.lines))
        return server

    def clients(self, command, *args):
        ns, dev = self.ns["c"]
        out = self.lab.ns_run(ns, sys.executable, os.path.join(HERE, "dhcp_exchange.py"), "--device", dev, command,
                              *args).stdout
        return [json.loads(line) for line in out.splitlines() if line.strip()]

    def leases(self):
        rows = self.pg.sql("SELECT host(address), encode(identity, 'hex'), expiry FROM tolmark_leases "
                           "WHERE NOT removed AND expiry > extract(epoch FROM now())", self.database)
        return {a: (i, int(e)) for a, i, e in (line.split("|") for line in rows.splitlines())}

    def acknowledged(self):
        """Every address acknowledged by either server, with the clients it went to."""
        given = {}
        for server in self.servers.values():
            server.settle(0.2)
            for line in server.lines:
                m = ACK_LINE.search(line)
                if m:
                    given.setdefault(m.group(2), set()).add(m.group(1))
        return given

    def test_both_active_no_address_twice_and_renewals_after_a_kill(self):
        self.start("a")
        self.start("b")
        macs = [f"02:84:00:00:{i // 256:02x}:{i % 256:02x}" for i in range(60)]
        # Both servers offer each client, racing for the same addresses. Every other client takes
        # a's offer, the others b's: the first offer alone can be one server's for all of them,
        # as the one that lost a race answers later and so loses the next.
        results = self.clients("dora", *(f"{mac}@10.84.0.{1 + i % 2}" for i, mac in enumerate(macs)))
        acks = [r for r in results if r["type"] == "ack"]
        self.assertGreaterEqual(len(acks), 55, results)
        self.assertEqual({r["server"] for r in acks}, {"10.84.0.1", "10.84.0.2"},
                         "both servers serve; their database and error lines:\n" + "\n".join(
                             f"{name}: {line}" for name, server in self.servers.items() for line in server.lines
                             if "Leases" in line or "Error" in line or "paused" in line))
        given = self.acknowledged()
        twice = {a: m for a, m in given.items() if len(m) > 1}
        self.assertEqual(twice, {}, "an address acknowledged to two clients")
        table = self.leases()
        for r in acks:
            self.assertIn(r["address"], table)
            self.assertEqual(table[r["address"]][0], r["mac"].replace(":", ""))

        # The first server dies; its clients rebind and keep their addresses through the other.
        self.servers["a"].proc.send_signal(signal.SIGKILL)
        self.servers["a"].proc.wait()
        from_a = [r for r in acks if r["server"] == "10.84.0.1"]
        renewed = self.clients("rebind", *(f"{r['mac']}={r['address']}" for r in from_a))
        bad = [r["mac"] for r in renewed if r["type"] != "ack"]
        self.assertEqual([(r["type"], r["server"], r["address"]) for r in renewed],
                         [("ack", "10.84.0.2", r["address"]) for r in from_a],
                         "\n".join(l for l in self.servers["b"].lines + ["--- a"] + self.servers["a"].lines
                                   if any(m in l for m in bad)))

    def test_database_restart_loses_nothing_acknowledged(self):
        server = self.start("a")
        first = self.clients("dora", *(f"02:84:01:00:00:{i:02x}" for i in range(5)))
        self.assertTrue(all(r["type"] == "ack" for r in first), first)
        self.pg.stop()
        # Renewals are answered from memory; a new client gets nothing while no claim is possible.
        renewed = self.clients("rebind", *(f"{r['mac']}={r['address']}" for r in first))
        self.assertTrue(all(r["type"] == "ack" for r in renewed), renewed)
        self.assertIsNotNone(server.wait_for("DHCP  Leases  database unreachable"), "\n".join(server.lines))
        newcomer = self.clients("dora", "02:84:01:00:01:00")
        self.assertIsNone(newcomer[0]["type"], newcomer)
        self.pg.start()
        self.assertIsNotNone(server.wait_for("DHCP  Leases  database reachable again", timeout=40),
                             "\n".join(server.lines))
        time.sleep(0.5)
        table = self.leases()
        for r in renewed:
            self.assertIn(r["address"], table)
        self.assertEqual(self.clients("dora", "02:84:01:00:01:00")[0]["type"], "ack")

        # Stopped as by a crash while both servers claim addresses for a burst of new clients,
        # and started again: every address acknowledged is in the table, for its client, and
        # went to one client only.
        other = self.start("b")
        for s in self.servers.values():
            s.settle(0.5)
        marks = {name: len(s.lines) for name, s in self.servers.items()}
        burst = []
        clients = threading.Thread(target=lambda: burst.extend(
            self.clients("dora", *(f"02:84:01:00:02:{i:02x}" for i in range(60)))))
        clients.start()
        under_way = time.monotonic() + 10  # once either server has acknowledged one of them
        while time.monotonic() < under_way and all(s.wait_for(" ACK ", timeout=0.05, start=marks[n]) is None
                                                   for n, s in self.servers.items()):
            pass
        self.pg.stop(immediate=True)
        time.sleep(1)
        self.pg.start()
        clients.join()
        for name, s in self.servers.items():
            if s.wait_for("DHCP  Leases  database unreachable", timeout=1, start=marks[name]) is not None:
                self.assertIsNotNone(s.wait_for("DHCP  Leases  database reachable again", timeout=40,
                                                start=marks[name]), "\n".join(s.lines))
        time.sleep(1)
        table = self.leases()
        acks = [r for r in burst if r["type"] == "ack"]
        self.assertGreaterEqual(len(acks), 10, burst)
        self.assertEqual({r["address"]: r["mac"].replace(":", "") for r in acks},
                         {r["address"]: table.get(r["address"], ("missing",))[0] for r in acks},
                         "\n".join(l for l in server.lines + ["--- b"] + other.lines if "Leases" in l))
        self.assertEqual({a: m for a, m in self.acknowledged().items() if len(m) > 1}, {},
                         "an address acknowledged to two clients")

    def test_a_table_restored_from_a_backup_gets_back_the_leases_given_since(self):
        server = self.start("a")
        first = self.clients("dora", *(f"02:84:03:00:00:{i:02x}" for i in range(3)))
        self.assertTrue(all(r["type"] == "ack" for r in first), first)
        self.pg.sql("CREATE TABLE backup AS SELECT * FROM tolmark_leases", self.database)
        backup_seq = self.pg.sql("SELECT max(seq) FROM tolmark_leases", self.database)
        # Renewed later (so for longer) and one client more since the backup; the server has
        # looked at the table since (every five seconds).
        time.sleep(2)
        since = self.clients("rebind", *(f"{r['mac']}={r['address']}" for r in first[:2]))
        since += self.clients("dora", "02:84:03:00:01:00")
        self.assertTrue(all(r["type"] == "ack" for r in since), since)
        time.sleep(6)
        given = self.leases()
        # Restored into the running database, the server's connection left open (pg_restore).
        self.pg.sql("ALTER TABLE tolmark_leases DISABLE TRIGGER USER; DELETE FROM tolmark_leases; INSERT INTO "
                    f"tolmark_leases SELECT * FROM backup; SELECT setval('tolmark_lease_seq', {backup_seq}); "
                    "ALTER TABLE tolmark_leases ENABLE TRIGGER USER", self.database)
        self.assertNotEqual(self.leases(), given)
        deadline = time.monotonic() + 15
        while self.leases() != given and time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertEqual(self.leases(), given, "\n".join(l for l in server.lines if "Leases" in l))

    def test_the_files_leases_reach_a_database_that_was_away_at_the_start(self):
        # Leases given while the server kept them in its files alone...
        first = self.start("a", LeaseDatabase="")
        given = self.clients("dora", *(f"02:84:04:00:00:{i:02x}" for i in range(3)))
        self.assertTrue(all(r["type"] == "ack" for r in given), given)
        first.proc.send_signal(signal.SIGTERM)
        first.proc.wait(timeout=15)
        # ...go into the database once it is there, also when it was not at the start.
        self.pg.stop()
        server = self.start("a")
        self.assertIsNotNone(server.wait_for("DHCP  Leases  database unreachable at start"), "\n".join(server.lines))
        self.pg.start()
        self.assertIsNotNone(server.wait_for("DHCP  Leases  database reachable again", timeout=40),
                             "\n".join(server.lines))
        time.sleep(0.5)
        table = self.leases()
        self.assertEqual({r["address"]: r["mac"].replace(":", "") for r in given},
                         {a: table[a][0] for a in (r["address"] for r in given) if a in table})

        # Renewals while the database is away are acknowledged for the time the leases have left
        # (another server may reach the database, and give an address away once its lease ends
        # there); the server stopped (or killed once its files are saved, the writes still
        # waiting) and started again, before the database is back or after, every lease stands
        # as it was.
        for database_first, killed in ((False, False), (True, False), (True, True)):
            written = self.leases()
            self.pg.stop()
            time.sleep(1.1)
            # A client counts its lease from the time it asked; the server's clock has whole
            # seconds, so the time left may read up to a second long.
            asked = time.time()
            renewed = self.clients("rebind", *(f"{r['mac']}={r['address']}" for r in given))
            self.assertTrue(all(r["type"] == "ack" for r in renewed), renewed)
            self.assertEqual([True] * len(renewed),
                             [asked + r["lease"] <= written[r["address"]][1] + 1 for r in renewed], renewed)
            if killed:
                time.sleep(1.5)  # past the housekeeping's save of the files
            server = self.restart("a", database_first, killed)
            self.assertIsNotNone(server.wait_for("leases from the lease database" if database_first
                                                 else "DHCP  Leases  database reachable again", timeout=40),
                                 "\n".join(server.lines))
            server.settle(1)
            table = self.leases()
            self.assertEqual({r["address"]: written[r["address"]] for r in given},
                             {r["address"]: table.get(r["address"]) for r in given}, database_first)

        # A lease removed (by another server, as for a pipe's deletion) while the server was
        # stopped stays removed when it starts.
        self.servers["a"].proc.send_signal(signal.SIGTERM)
        self.servers["a"].proc.wait(timeout=15)
        self.pg.sql(f"UPDATE tolmark_leases SET removed = true WHERE address = '{given[0]['address']}'", self.database)
        self.start("a").settle(1)
        self.assertEqual(set(self.leases()), {r["address"] for r in given[1:]})

    def test_a_server_cut_from_the_database_extends_no_lease_past_the_tables(self):
        # An answer is waited for one second and five more: the server cut off knows it soon.
        self.pg.sql(f"ALTER DATABASE {self.database} SET statement_timeout = '1s'")
        one_address = {"Range": "1", "Lease": "20"}
        cut = self.start("a", lan=one_address)
        self.start("b", lan=one_address)
        held = self.clients("dora", "02:84:05:00:00:01@10.84.0.1")[0]
        self.assertEqual((held["type"], held["server"]), ("ack", "10.84.0.1"), held)
        ends = self.leases()[held["address"]][1]
        # Its packets to the database vanish; the client keeps renewing through it alone, and is
        # answered once the server knows the database is away.
        cut_off = ("ip", "route", "add", "blackhole", DB_ADDRESS + "/32")
        self.lab.ns_run(self.ns["a"][0], *cut_off)
        self.addCleanup(self.lab.ns_run, self.ns["a"][0], "ip", "route", "del", *cut_off[3:], check=False)
        renewal = f"{held['mac']}={held['address']}@10.84.0.1"
        self.clients("rebind", renewal)
        self.assertIsNotNone(cut.wait_for("DHCP  Leases  database unreachable", timeout=15), "\n".join(cut.lines))
        time.sleep(max(0.0, ends - 10 - time.time()))  # half its lease left, as a client renews
        renewed = self.clients("rebind", renewal)[0]
        self.assertEqual(renewed["type"], "ack", renewed)
        holds_until = time.time() + renewed["lease"]
        # The other server reaches the table, where the lease ends unrenewed: past its end (and
        # the clocks' grace) it gives the address to a new client, which nobody may hold then.
        time.sleep(max(0.0, ends + 6 - time.time()))
        newcomer = self.clients("dora", "02:84:05:00:00:02@10.84.0.2")[0]
        self.assertEqual((newcomer["type"], newcomer["address"]), ("ack", held["address"]), newcomer)
        self.assertLessEqual(holds_until, time.time(),
                             f"{held['address']} held by two clients: {renewed} and {newcomer}")

    def restart(self, name, database_first, killed=False):
        """Stops the server (its files saved) or kills it, and starts it again, the database before
        it or after."""
        self.servers[name].proc.send_signal(signal.SIGKILL if killed else signal.SIGTERM)
        self.servers[name].proc.wait(timeout=15)
        if database_first:
            self.pg.start()
        server = self.start(name)
        if not database_first:
            self.assertIsNotNone(server.wait_for("DHCP  Leases  database unreachable at start ("))
            self.pg.start()
        return server

    def test_without_libpq_the_database_is_unreachable_and_the_check_says_why(self):
        server = self.start("a", hide_libpq=True)
        at = server.wait_for("DHCP  Leases  database unreachable at start (")
        self.assertIsNotNone(at, "\n".join(server.lines))
        self.assertIn("libpq.so.5", server.lines[at])
        newcomer = self.clients("dora", "02:84:03:00:00:01")
        self.assertIsNone(newcomer[0]["type"], newcomer)
        server.kill()
        check = netns.run(*self.hidden_libpq(VELKORA, "-check", os.path.join(self.lab.dir, f"a{self.count}", "Dorvane.ini")),
                          check=False)
        self.assertIn("LeaseDatabase: libpq cannot be loaded: ", check.stdout, check.stdout + check.stderr)

    def test_standby_takes_over_with_the_leases(self):
        self.start("a", Detect="1")
        time.sleep(1.5)  # past the first server's own start-up probe
        standby = self.start("b", Detect="1")
        self.assertIsNotNone(standby.wait_for(" DHCP  paused  server on 10.84.0.1 detected", timeout=5))
        given = self.clients("dora", *(f"02:84:02:00:00:{i:02x}" for i in range(8)))
        self.assertTrue(all(r["type"] == "ack" and r["server"] == "10.84.0.1" for r in given), given)
        self.servers["a"].proc.send_signal(signal.SIGKILL)
        self.servers["a"].proc.wait()
        self.assertIsNotNone(standby.wait_for(" DHCP  active  server started", timeout=10), "\n".join(standby.lines))
        renewed = self.clients("rebind", *(f"{r['mac']}={r['address']}" for r in given))
        self.assertEqual([(r["type"], r["server"], r["address"]) for r in renewed],
                         [("ack", "10.84.0.2", r["address"]) for r in given])


if __name__ == "__main__":
    netns.main(globals())
