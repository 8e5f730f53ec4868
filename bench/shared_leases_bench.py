"""Two active servers sharing one lease table: perfdhcp broadcasts the DORA exchanges of many
clients on a segment where two Velkora with one "LeaseDatabase" answer. When
it is done both servers are stopped (saving their dynamic files); then every lease either
server holds unexpired must be the database's: an address one server gave to a client while the
database gives it to another would be an address leased twice. Prints the rate and the count.
Run by hand as root:

    sudo python3 bench/shared_leases_bench.py --velkora build/default/bin/Velkora --clients 10000
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402
import pg_cluster  # noqa: E402

CLIENT = "10.85.255.254"
SERVERS = {"a": "10.85.0.1", "b": "10.85.0.2"}


def dynamic_leases(path, now):
    """address -> hardware address of every unexpired lease of a dynamic file."""
    leases = {}
    if not os.path.exists(path):
        return leases
    for line in open(path, errors="replace"):
        fields = line.split("\t")
        if len(fields) < 3 or not re.match(r"^[0-9a-fA-F]{2}([-:][0-9a-fA-F]{2}){5}$", fields[0]):
            continue
        expiry = int(fields[2], 16) if re.match(r"^[0-9a-fA-F]+$", fields[2]) else 0
        if expiry > now:
            leases[fields[1]] = fields[0].replace("-", "").replace(":", "").lower()
    return leases


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--velkora", required=True)
    p.add_argument("--clients", type=int, default=10000)
    p.add_argument("--seconds", type=int, default=20)
    p.add_argument("--rate", type=int, default=3000)
    args = p.parse_args()
    netns.require_root()
    if not pg_cluster.available():
        print("SKIPPED: PostgreSQL server binaries are missing (Debian package postgresql)")
        sys.exit(netns.SKIP)
    lab = netns.Lab("sl")
    pg = pg_cluster.Cluster(lab.prefix)
    servers = {}
    try:
        switch = lab.namespace("w")
        lab.ns_run(switch, "ip", "link", "add", "br0", "type", "bridge")
        lab.ns_run(switch, "ip", "link", "set", "br0", "up")
        ns = {}
        for name, address in list(SERVERS.items()) + [("c", CLIENT)]:
            space = lab.namespace(name)
            port, dev = lab.link(switch, None, space, address + "/16", f"{lab.prefix}{name}")
            lab.ns_run(switch, "ip", "link", "set", port, "master", "br0")
            ns[name] = (space, dev)
        pg.sql("CREATE DATABASE leases")
        for name in SERVERS:
            directory = os.path.join(lab.dir, name)
            os.mkdir(directory)
            registry = netns.write_config(directory, {
                "Log": "0", "Profile0": "Relayed",
                "LeaseDatabase": f"host={pg.dir} dbname=leases user=postgres"})
            with open(os.path.join(directory, "Dorvane.ini"), "a") as f:
                # perfdhcp speaks as a relay agent at its own address, broadcast to both servers.
                f.write(f"[Relayed]\nRelayIP={CLIENT}\nBaseIP=10.86.0.10\nRange=60000\n"
                        "SubnetMask=255.255.0.0\nLease=86400\n")
            servers[name] = (netns.Process(["ip", "netns", "exec", ns[name][0], os.path.abspath(args.velkora)],
                                           env={"TOLMARK_REGISTRY": registry, "INVOCATION_ID": "bench"}), directory)
        time.sleep(2)
        result = subprocess.run(["ip", "netns", "exec", ns["c"][0], "perfdhcp", "-4", "-l", ns["c"][1], "-R",
                                 str(args.clients), "-r", str(args.rate), "-p", str(args.seconds)],
                                capture_output=True, text=True, timeout=args.seconds + 60)
        rate = re.search(r"Rate:\s*([0-9.]+)\s*4-way exchanges/second", result.stdout)
        if rate is None or float(rate.group(1)) == 0:
            print(result.stdout[:1200], result.stderr[-1500:])
        for process, _ in servers.values():
            process.proc.send_signal(signal.SIGTERM)
            process.proc.wait(timeout=30)
        now = int(time.time())
        rows = pg.sql("SELECT host(address), encode(identity, 'hex') FROM tolmark_leases WHERE NOT removed AND "
                      f"expiry > {now}", "leases")
        database = dict(line.split("|") for line in rows.splitlines() if line)
        twice = 0
        for name, (_, directory) in servers.items():
            for address, holder in dynamic_leases(os.path.join(directory, "dynamic"), now).items():
                if database.get(address) != holder:
                    twice += 1
                    print(f"server {name}: {address} held by {holder}, the database says {database.get(address)}")
        print(f"perfdhcp rate with two active servers: {rate.group(1) if rate else '?'} DORA/s")
        print(f"leases in the database: {len(database)}; addresses leased twice: {twice} (goal 0)")
    finally:
        for process, _ in servers.values():
            process.kill()
        pg.remove()
        lab.close()


if __name__ == "__main__":
    main()
