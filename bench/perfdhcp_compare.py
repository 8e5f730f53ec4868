"""Whole-process figure against a peer (with --lease-database, both keeping their leases in one
PostgreSQL server): perfdhcp, acting as a relay agent in a client namespace,
runs DORA exchanges against Velkora and then against kea-dhcp4 (memfile leases) in the same
server namespace, with 1,000 and 50,000 distinct clients, and prints the rates and ratios; then
offers both the same moderate rate (--cpu-rate, 50,000 clients), which neither is saturated by,
and prints each server's CPU time per exchange (from a cgroup of its own, as the TFTP
benchmark measures it). Run by hand as root:

    sudo python3 bench/perfdhcp_compare.py --velkora build/default/bin/Velkora

Each run is bounded by perfdhcp's --seconds test period; the servers are started and stopped
by this script inside the namespaces, never as system services."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402
import pg_cluster  # noqa: E402
from process_usage import Usage  # noqa: E402

SERVER = "10.88.0.1"
RELAY = "10.88.0.2"


def velkora_config(directory, lease_database=None):
    general = {"Log": "0", "Profile0": "Relayed"}
    if lease_database:
        general["LeaseDatabase"] = lease_database
    registry = netns.write_config(directory, general)
    with open(os.path.join(directory, "Dorvane.ini"), "a") as f:
        f.write(f"[Relayed]\nRelayIP={RELAY}\nBaseIP=10.89.0.10\nRange=65000\nSubnetMask=255.255.0.0\nLease=86400\n")
    return registry


def kea_config(directory, device, postgres=None):
    memfile = {"type": "memfile", "persist": True, "name": os.path.join(directory, "kea-leases4.csv"),
               "lfc-interval": 0}
    config = {"Dhcp4": {
        "interfaces-config": {"interfaces": [f"{device}/{SERVER}"], "dhcp-socket-type": "udp"},
        "lease-database": postgres or memfile,
        "valid-lifetime": 86400,
        "subnet4": [{"id": 1, "subnet": "10.89.0.0/16", "pools": [{"pool": "10.89.0.10 - 10.89.254.0"}],
                     "relay": {"ip-addresses": [RELAY]}}],
        "loggers": [{"name": "kea-dhcp4", "severity": "ERROR",
                     "output_options": [{"output": os.path.join(directory, "kea.log")}]}],
    }}
    path = os.path.join(directory, "kea-dhcp4.json")
    with open(path, "w") as f:
        json.dump(config, f)
    return path


def perfdhcp(lab, client_ns, clients, seconds, rate):
    args = ["perfdhcp", "-4", "-l", RELAY, "-R", str(clients), "-r", str(rate), "-p", str(seconds), SERVER]
    result = subprocess.run(["ip", "netns", "exec", client_ns] + args, capture_output=True, text=True,
                            timeout=seconds + 60)
    match = re.search(r"Rate:\s*([0-9.]+)\s*4-way exchanges/second", result.stdout)
    if match is None:
        raise RuntimeError(f"perfdhcp gave no rate:\n{result.stdout}\n{result.stderr}")
    return float(match.group(1))


def measure(lab, server_ns, client_ns, start_server, clients, seconds, rate):
    """The exchanges a second perfdhcp reached, and the server's CPU microseconds per exchange."""
    server = start_server()
    usage = Usage(f"dhcp{rate}", server.proc.pid)
    try:
        time.sleep(1.5)
        before = usage.cpu_seconds()
        reached = perfdhcp(lab, client_ns, clients, seconds, rate)
        cpu = usage.cpu_seconds() - before
        return reached, cpu * 1e6 / max(reached * seconds, 1)
    finally:
        server.kill()
        server.proc.wait()
        usage.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--velkora", required=True)
    p.add_argument("--seconds", type=int, default=10)
    p.add_argument("--rate", type=int, default=40000, help="the rate perfdhcp aims at (above what either reaches)")
    p.add_argument("--cpu-rate", type=int, default=3000, help="the rate offered for the CPU per exchange (0: skip)")
    p.add_argument("--lease-database", action="store_true",
                   help="both servers keep their leases in one PostgreSQL server (started here, on a Unix socket)")
    args = p.parse_args()
    netns.require_root()
    for tool in ("perfdhcp", "kea-dhcp4"):
        if shutil.which(tool) is None:
            print(f"SKIPPED: {tool} is missing (Debian packages kea-admin and kea-dhcp4-server)")
            sys.exit(netns.SKIP)
    lab = netns.Lab("pf")
    pg = None
    try:
        if args.lease_database:
            if not pg_cluster.available():
                print("SKIPPED: PostgreSQL server binaries are missing (Debian package postgresql)")
                sys.exit(netns.SKIP)
            pg = pg_cluster.Cluster(lab.prefix)
        srv = lab.namespace("s")
        cli = lab.namespace("c")
        dev, _ = lab.link(srv, f"{SERVER}/24", cli, f"{RELAY}/24", f"{lab.prefix}x")
        velkora_dir = os.path.join(lab.dir, "velkora")
        kea_dir = os.path.join(lab.dir, "kea")
        rates, cpus = {}, {}
        runs = [(clients, args.rate) for clients in (1000, 50000)]
        if args.cpu_rate > 0:
            runs.append((50000, args.cpu_rate))
        for clients, offered in runs:
            for name in ("Velkora", "kea-dhcp4"):
                # A fresh lease store for every run: both start empty.
                for d in (velkora_dir, kea_dir):
                    shutil.rmtree(d, ignore_errors=True)
                    os.makedirs(d)
                database = None
                if pg is not None:
                    database = f"run{len(rates)}"
                    pg.sql(f"CREATE DATABASE {database}")
                if name == "Velkora":
                    registry = velkora_config(velkora_dir,
                                              database and f"host={pg.dir} dbname={database} user=postgres")
                    start = lambda: netns.Process(["ip", "netns", "exec", srv, os.path.abspath(args.velkora)],  # noqa: E731
                                                  env={"TOLMARK_REGISTRY": registry, "INVOCATION_ID": "bench"})
                else:
                    postgres = None
                    if database:
                        netns.run("kea-admin", "db-init", "pgsql", "-u", "postgres", "-n", database, "-h", pg.dir)
                        postgres = {"type": "postgresql", "name": database, "host": pg.dir, "user": "postgres"}
                    config = kea_config(kea_dir, dev, postgres)
                    start = lambda: netns.Process(["ip", "netns", "exec", srv, "kea-dhcp4", "-c", config],  # noqa: E731
                                                  env={"KEA_PIDFILE_DIR": kea_dir, "KEA_LOCKFILE_DIR": kea_dir})
                reached, cpu = measure(lab, srv, cli, start, clients, args.seconds, offered)
                if offered == args.rate:
                    rates[(name, clients)] = reached
                else:
                    cpus[name] = cpu
                print(f"{name:10s} {clients:6d} clients, {offered:5d} offered: {reached:9.1f} DORA/s, "
                      f"{cpu:6.1f} us CPU per exchange", flush=True)
        v1k, v50k = rates[("Velkora", 1000)], rates[("Velkora", 50000)]
        k50k = rates[("kea-dhcp4", 50000)]
        print(f"Velkora/kea-dhcp4 at 50,000 clients: {v50k / k50k:.2f} (goal at least 2)")
        print(f"Velkora 50,000 / 1,000 clients:      {v50k / v1k:.2f} (goal at least 0.67)")
        if cpus:
            print(f"kea-dhcp4/Velkora CPU per exchange at {args.cpu_rate} offered: "
                  f"{cpus['kea-dhcp4'] / cpus['Velkora']:.2f} (goal at least 3)")
    finally:
        if pg is not None:
            pg.remove()
        lab.close()


if __name__ == "__main__":
    main()
