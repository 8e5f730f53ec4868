#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots/ from the real programs: Velkora in a network
# namespace with a few real DHCP clients (busybox udhcpc) in another, and Dorvane on an Xvfb
# display in the server's namespace (the control pipe belongs to it). Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "Taking the screenshots needs root: it creates network namespaces." >&2
    exit 1
fi

bash scripts/install-deps.sh --screenshots
cmake --preset default >/dev/null
cmake --build --preset default --target Velkora trisko Dorvane

out=docs/screenshots
server_ns=tolmark-shot-server
client_ns=tolmark-shot-client
work=$(mktemp -d /tmp/tolmark-shots.XXXXXX)
chmod 755 "$work"  # the view-mode shot runs the manager as the user nobody
display=:97
pids=()

. scripts/lab.sh
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    lab_down
    rm -rf "$work"
}
trap cleanup EXIT
lab_down
lab_up tkshot 10.97.0.1/24
cat > "$work/Dorvane.ini" <<INI
[Dorvane]
Profile0=Standard
Profile1=Lab
[Standard]
InterfaceIP=10.97.0.1
BaseIP=10.97.0.100
Range=50
SubnetMask=255.255.255.0
GatewayIP=10.97.0.1
Lease=3600
[Lab]
BaseIP=10.97.0.200
Range=20
INI

in_server() { TOLMARK_REGISTRY="$work/registry.ini" ip netns exec "$server_ns" "$@"; }
in_server build/default/bin/Velkora -debug > "$work/server.out" 2>&1 &
pids+=($!)
# trisko exits with 1 when it did what it was asked, 0 while the service is not reached.
trisko() { in_server build/default/bin/trisko "$@" >/dev/null 2>&1 && return 1 || [ $? -eq 1 ]; }
for _ in $(seq 50); do trisko print && break; sleep 0.2; done

# Static entries; the third one is never served, so its client lands in the ignored list.
trisko add 02:00:5e:10:00:01 10.97.0.10
trisko add 02:00:5e:10:00:02 10.97.0.11 Lab
trisko add 02:00:5e:10:00:03 255.255.255.255
trisko add 02:00:5e:10:00:04 10.97.0.12

lease() {
    ip -n "$client_ns" link set tkshot1 address "$1"
    ip netns exec "$client_ns" busybox udhcpc -i tkshot1 -n -q -f -t 2 -T 1 -s /bin/true >/dev/null 2>&1 || true
}
for mac in 02:00:5e:10:00:01 02:00:5e:10:00:03 02:00:5e:20:00:01 02:00:5e:20:00:02 02:00:5e:20:00:03; do
    lease "$mac"
done

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 1
export DISPLAY=$display XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/tolmark" "$out"

# Dorvane opened on one view, as root or (a second argument) as the user nobody; waits until its
# window shows the server's state.
start_manager() {
    printf '[Dorvane]\nView=%s\nleft=40\ntop=30\nwidth=760\nheight=420\nTrayIcon=0\n' "$1" > "$XDG_CONFIG_HOME/tolmark/registry.ini"
    local as=()
    if [ -n "${2:-}" ]; then
        chown -R 65534:65534 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
    fi
    TOLMARK_REGISTRY="$work/registry.ini" ip netns exec "$server_ns" "${as[@]}" build/default/bin/Dorvane 2>>"$work/manager.log" &
    manager=$!
    for _ in $(seq 50); do xdotool search --name "^Tolmark DHCP Server$" >/dev/null 2>&1 && break; sleep 0.2; done
    sleep 2
}
stop_manager() { kill "$manager" 2>/dev/null || true; wait "$manager" 2>/dev/null || true; }
shoot() {
    local window
    window=$(xdotool search --name "$1" | head -1)
    if [ -z "$window" ]; then
        echo "no window \"$1\" to take $2 from; the manager said:" >&2
        cat "$work/manager.log" >&2
        exit 1
    fi
    import -window "$window" "$out/$2"
    echo "$out/$2"
}

for view in 0:static 1:dynamic 2:ignored; do
    start_manager "${view%%:*}"
    shoot "^Tolmark DHCP Server$" "${view#*:}.png"
    stop_manager
done

# A user without administrator rights: the view mode.
start_manager 0 nobody
shoot "^Tolmark DHCP Server$" static-view-mode.png
stop_manager
chown -R 0:0 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"

# The About box through the Help menu, as a user opens it (no window manager: focus by hand).
start_manager 1
xdotool windowfocus --sync "$(xdotool search --name "^Tolmark DHCP Server$" | head -1)"
xdotool key alt+h
sleep 0.5
xdotool key a
sleep 1
shoot "^About" about.png
stop_manager

# The dialogs, opened through the menus as a user opens them, and each page of a sheet in turn
# (Ctrl+Tab). The server in the console writes no log file: today's file is its console output.
cp "$work/server.out" "$work/$(date +dhcp%y%m.log)"
focus() { xdotool windowfocus --sync "$(xdotool search --name "$1" | head -1)"; }
menu() {
    focus "^Tolmark DHCP Server$"
    xdotool key "$1"
    sleep 0.5
    xdotool key "$2"
    sleep 1.5
}
# window title, then the file name of each page
sheet() {
    local title=$1 name
    shift
    for name in "$@"; do
        shoot "$title" "$name"
        focus "$title"
        xdotool key ctrl+Tab
        sleep 0.7
    done
}
close() {
    focus "$1"
    xdotool key Escape
    sleep 0.7
}

start_manager 0
menu alt+o p
sheet "^Preferences$" preferences-general.png preferences-interfaces.png preferences-dhcp.png \
    preferences-tftp.png preferences-tftp-options.png preferences-language.png
close "^Preferences$"
menu alt+o m
shoot "^Configuration profiles$" profiles.png
focus "^Configuration profiles$"
xdotool key alt+e
sleep 1.5
sheet "^Standard$" profile-basic.png profile-dns.png profile-netbios.png profile-time.png profile-boot.png \
    profile-other.png
close "^Standard$"
close "^Configuration profiles$"
menu alt+o a
shoot "^Static entry$" static-entry.png
close "^Static entry$"
menu alt+f v
shoot "^Log$" log.png
close "^Log$"
stop_manager
