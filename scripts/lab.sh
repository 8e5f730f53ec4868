# Sourced by the demo and screenshot scripts: a server and a client network namespace joined by
# a veth pair, and a data directory for Velkora. The caller sets server_ns, client_ns, work.

# lab_up DEVICE SERVER_CIDR: DEVICE0 in the server namespace with the address, DEVICE1 in the
# client namespace; registry.ini in $work points the server's data directory there.
lab_up() {
    ip netns add "$server_ns"
    ip netns add "$client_ns"
    ip link add "${1}0" netns "$server_ns" type veth peer name "${1}1" netns "$client_ns"
    ip -n "$server_ns" addr add "$2" dev "${1}0"
    ip -n "$server_ns" link set "${1}0" up
    ip -n "$server_ns" link set lo up
    ip -n "$client_ns" link set "${1}1" up
    ip -n "$client_ns" link set lo up
    printf '[Dorvane]\nDirectory=%s/\n' "$work" > "$work/registry.ini"
}

# Ends what runs in the namespaces and deletes them.
lab_down() {
    ip netns pids "$server_ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
    ip netns pids "$client_ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
    ip netns del "$server_ns" 2>/dev/null || true
    ip netns del "$client_ns" 2>/dev/null || true
    return 0
}
