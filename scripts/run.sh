#!/usr/bin/env bash
# Builds Velkora and runs it on a safe default: in a pair of network namespaces joined by a
# veth pair, so that it never answers on this machine's real networks. The server gets
# 10.99.0.1/24 and a profile for that segment with a boot file; the other namespace is the
# client side, which takes a lease and then downloads the boot file over TFTP, as a machine
# that boots from the network does.
# Stop it with Ctrl+C; the namespaces are removed on the way out.
#
#   --once      end after the client's lease and download (exit status 0 when both worked and
#               the file arrived byte for byte) instead of keeping the server running
#   --no-build  use the programs already built (in $TOLMARK_BUILD_DIR, default build/default)
# TOLMARK_DEMO_NS names the namespaces (default tolmark-demo), so that two runs can coexist.
set -euo pipefail
cd "$(dirname "$0")/.."

once=0
build=1
for arg in "$@"; do
    case "$arg" in
        --once) once=1 ;;
        --no-build) build=0 ;;
        *) echo "usage: $0 [--once] [--no-build]" >&2; exit 2 ;;
    esac
done

if [ "$(id -u)" -ne 0 ]; then
    echo "This demo needs root: it creates network namespaces and binds the DHCP port." >&2
    echo "Run it again with sudo: sudo bash scripts/run.sh" >&2
    exit 1
fi

bin="${TOLMARK_BUILD_DIR:-build/default}/bin"
if [ "$build" -eq 1 ]; then
    bash scripts/install-deps.sh
    cmake --preset default >/dev/null
    cmake --build --preset default
fi

names="${TOLMARK_DEMO_NS:-tolmark-demo}"
server_ns="$names-server"
client_ns="$names-client"
work=""
server=""

. scripts/lab.sh
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    lab_down
    [ -n "$work" ] && rm -rf "$work"
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cleanup 2>/dev/null || true
work=$(mktemp -d /tmp/tolmark-demo.XXXXXX)
lab_up tkdemo 10.99.0.1/24

# The boot file: a size that is no multiple of the 512-byte block, so the last block is short.
mkdir "$work/tftp"
head -c 300001 /dev/urandom > "$work/tftp/demo.img"
metrics=127.0.0.1:9167
cat > "$work/Dorvane.ini" <<INI
[Dorvane]
Profile0=Demo
MetricsListen=$metrics
TFTPEnable=1
TFTPDirectory=$work/tftp/
TFTPMode=13
[Demo]
InterfaceIP=10.99.0.1
BaseIP=10.99.0.100
Range=50
SubnetMask=255.255.255.0
GatewayIP=10.99.0.1
DNS1IP=10.99.0.1
DNSName=demo.test
Lease=600
NextIP=10.99.0.1
BootFile=demo.img
INI

echo "Configuration and logs: $work (server namespace $server_ns, client namespace $client_ns)"
echo "TFTP serves $work/tftp/ to the clients of the pool, and of it only their boot file (TFTPMode=13)."
echo "The manager, from another terminal of your desktop session:"
echo "    sudo --preserve-env=DISPLAY,XAUTHORITY ip netns exec $server_ns $bin/Dorvane"
echo "The metrics (Prometheus text format), from another terminal:"
echo "    sudo ip netns exec $server_ns curl -s http://$metrics/metrics"
echo "    sudo ip netns exec $server_ns $bin/trisko stats"
[ "$once" -eq 0 ] && echo "Press Ctrl+C to stop."
# The console shows every log line but the acknowledgement of each TFTP block.
TOLMARK_REGISTRY="$work/registry.ini" ip netns exec "$server_ns" "$bin/Velkora" -debug \
    > >(grep --line-buffered -v '^.\{20\}TFTP  ack     received ') &
server=$!

# A real DHCP client on the other side of the veth pair; its hook configures the address and
# records what the server sent, the boot file and its server among it.
sleep 2
status=0
echo "== busybox udhcpc in $client_ns asks for an address"
if HOOK_OUT="$work/client.lease" ip netns exec "$client_ns" \
        busybox udhcpc -i tkdemo1 -n -q -f -t 3 -T 2 -s "$PWD/scripts/client_hook.sh"; then
    echo "== the client now has:"
    ip -n "$client_ns" -4 -br addr show dev tkdemo1
    sed -n 's/^/   /p' "$work/client.lease"
    bootfile=$(sed -n 's/^bootfile=//p' "$work/client.lease" | tail -n 1)
    nextserver=$(sed -n 's/^nextserver=//p' "$work/client.lease" | tail -n 1)
    echo "== tftp-hpa in $client_ns downloads the boot file \"$bootfile\" from $nextserver"
    if [ -n "$bootfile" ] && [ -n "$nextserver" ] &&
        ip netns exec "$client_ns" tftp -m binary "$nextserver" -c get "$bootfile" "$work/received.img" &&
        cmp "$work/tftp/$bootfile" "$work/received.img"; then
        echo "== the boot file arrived byte for byte ($(stat -c %s "$work/received.img") bytes)"
        echo "   sha256 served   $(sha256sum < "$work/tftp/$bootfile" | cut -d' ' -f1)"
        echo "   sha256 received $(sha256sum < "$work/received.img" | cut -d' ' -f1)"
    else
        echo "== the boot file did not arrive intact"
        status=1
    fi
else
    echo "== the client got no lease"
    status=1
fi
echo "== what the metrics page says of it (http://$metrics/metrics in $server_ns):"
ip netns exec "$server_ns" curl -s --max-time 5 "http://$metrics/metrics" |
    grep -E '^tolmark_(dhcp_(received|replies)_total|tftp_(transfers_(started|ended)|sent_bytes)_total|dhcp_pool_leases_in_use)' |
    sed 's/^/   /' || true
if [ "$once" -eq 1 ]; then
    exit "$status"
fi
echo "== the server keeps running; press Ctrl+C to stop it"
wait "$server"
