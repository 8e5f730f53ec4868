#!/usr/bin/env bash
# Builds Velkora and runs it on a safe default: in a pair of network namespaces joined by a
# veth pair, so that it never answers on this machine's real networks. The server gets
# 10.99.0.1/24 and a profile for that segment; the other namespace is the client side.
# Stop it with Ctrl+C; the namespaces are removed on the way out.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "This demo needs root: it creates network namespaces and binds the DHCP port." >&2
    echo "Run it again with sudo: sudo bash scripts/run.sh" >&2
    exit 1
fi

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

server_ns=tolmark-demo-server
client_ns=tolmark-demo-client
work=""

. scripts/lab.sh
cleanup() {
    lab_down
    [ -n "$work" ] && rm -rf "$work"
    return 0
}
trap cleanup EXIT
cleanup 2>/dev/null || true
work=$(mktemp -d /tmp/tolmark-demo.XXXXXX)
lab_up tkdemo 10.99.0.1/24
cat > "$work/Dorvane.ini" <<INI
[Dorvane]
Profile0=Demo
[Demo]
InterfaceIP=10.99.0.1
BaseIP=10.99.0.100
Range=50
SubnetMask=255.255.255.0
GatewayIP=10.99.0.1
DNS1IP=10.99.0.1
DNSName=demo.test
Lease=600
INI

echo "Configuration and logs: $work (server namespace $server_ns, client namespace $client_ns)"
echo "The manager, from another terminal of your desktop session:"
echo "    sudo --preserve-env=DISPLAY,XAUTHORITY ip netns exec $server_ns build/default/bin/Dorvane"
echo "Press Ctrl+C to stop."
TOLMARK_REGISTRY="$work/registry.ini" ip netns exec "$server_ns" build/default/bin/Velkora -debug &
server=$!

# A real DHCP client on the other side of the veth pair; its hook configures the address.
sleep 2
echo "== busybox udhcpc in $client_ns asks for an address"
if HOOK_OUT="$work/client.lease" ip netns exec "$client_ns" \
        busybox udhcpc -i tkdemo1 -n -q -f -t 3 -T 2 -s "$PWD/scripts/client_hook.sh"; then
    echo "== the client now has:"
    ip -n "$client_ns" -4 -br addr show dev tkdemo1
    sed -n 's/^/   /p' "$work/client.lease"
else
    echo "== the client got no lease"
fi
echo "== the server keeps running; press Ctrl+C to stop it"
wait "$server"
