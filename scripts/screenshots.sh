#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots/ from the real programs: Velkora in a network
# namespace with a few real DHCP clients (busybox udhcpc) in another, and Dorvane on an Xvfb
# display in the server's namespace (the control pipe belongs to it), on an English and on a
# German desktop (the German pictures end in "-de"). The programs run from a copy in
# /opt/tolmark/bin/, as an administrator would install them, so no build path shows. Needs root.
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
# The neutral place the programs run from (and their data directory: the program's directory).
bin=/opt/tolmark/bin
[ -e /opt/tolmark ] && { echo "/opt/tolmark exists already: move it away first." >&2; exit 1; }
mkdir -p "$bin" /opt/tolmark/tftp
cp build/default/bin/Velkora build/default/bin/trisko build/default/bin/Dorvane "$bin/"
cp -r manager/Languages manager/doc "$bin/"
chmod -R a+rX /opt/tolmark
chmod 755 "$work"  # the view-mode shot runs the manager as the user nobody
display=:97
pids=()

. scripts/lab.sh
cleanup() {
    [ -f "$work/server.out" ] && tail -5 "$work/server.out" >&2
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    lab_down
    rm -rf "$work" /opt/tolmark
}
trap cleanup EXIT
lab_down
lab_up tkshot 10.97.0.1/24
# The data directory lies beside the programs too (the lab points it at $work).
data=/opt/tolmark/data
mkdir -p "$data"
printf '[Dorvane]\nDirectory=%s/\n' "$data" > "$work/registry.ini"
cat > "$data/Dorvane.ini" <<INI
[Dorvane]
TFTPEnable=1
TFTPDirectory=/opt/tolmark/tftp/
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
in_server "$bin/Velkora" -debug > "$work/server.out" 2>&1 &
pids+=($!)
# trisko exits with 1 when it did what it was asked, 0 while the service is not reached.
trisko() { in_server "$bin/trisko" "$@" >/dev/null 2>&1 && return 1 || [ $? -eq 1 ]; }
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

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
pids+=($xvfb)
sleep 1
export DISPLAY=$display XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The German desktop's dates come from the C library's de_DE locale: compiled into the work
# directory when the machine has not generated it, for the manager alone (its LOCPATH).
locale_env=()
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    mkdir -p "$work/locale"
    localedef -i de_DE -f UTF-8 "$work/locale/de_DE.UTF-8"
    locale_env=(LOCPATH="$work/locale")
fi
mkdir -p "$XDG_CONFIG_HOME/tolmark" "$out"

# Dorvane opened on one view, as root or (a second argument) as the user nobody; waits until its
# window shows the server's state.
start_manager() {
    printf '[Dorvane]\nView=%s\nleft=40\ntop=30\nwidth=760\nheight=420\nTrayIcon=0\n%s' "$1" "${extra:-}" \
        > "$XDG_CONFIG_HOME/tolmark/registry.ini"
    local as=()
    if [ -n "${2:-}" ]; then
        chown -R 65534:65534 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
    fi
    TOLMARK_REGISTRY="$work/registry.ini" ip netns exec "$server_ns" "${as[@]}" env LANG="$desktop" "${locale_env[@]}" "$bin/Dorvane" 2>>"$work/manager.log" &
    manager=$!
    for _ in $(seq 50); do xdotool search --name "^Tolmark DHCP Server$" >/dev/null 2>&1 && break; sleep 0.2; done
    sleep 2
}
stop_manager() { kill "$manager" 2>/dev/null || true; wait "$manager" 2>/dev/null || true; }
shoot() {
    local window
    window=$(xdotool search --name "$1" | head -1 || true)
    if [ -z "$window" ]; then
        echo "no window \"$1\" to take $2 from; the manager said:" >&2
        cat "$work/manager.log" >&2
        kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb has ended:" >&2; cat "$work/xvfb.log" >&2; }
        exit 1
    fi
    local name=${2%.png}$suffix.png
    import -window "$window" "$out/$name"
    echo "$out/$name"
}

# One desktop language: its LANG, the suffix of its pictures, and the titles and access keys of
# its menus and dialogs. The About box goes by a pattern of its title: xdotool matches a title
# with letters beyond ASCII ("Über") against the window's Latin-1 name and never finds it.
shoot_desktop() {
desktop=$1 suffix=$2
local title_pref=$3 title_profiles=$4 title_static=$5 title_log=$6 title_about=$7
local key_pref=$8 key_profiles=$9 key_static=${10} key_log=${11} key_about=${12} key_edit=${13} key_file=${14}
for view in 0:static 1:dynamic 2:ignored 3:tftp; do
    start_manager "${view%%:*}"
    shoot "^Tolmark DHCP Server$" "${view#*:}.png"
    stop_manager
done

# The grid lines the General page switches on.
extra=$'Gridlines=1\n'
start_manager 0
shoot "^Tolmark DHCP Server$" static-gridlines.png
stop_manager
extra=

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
xdotool key "$key_about"
sleep 1
shoot "$title_about" about.png
stop_manager

# The dialogs, opened through the menus as a user opens them, and each page of a sheet in turn
# (Ctrl+Tab). The server in the console writes no log file: today's file is its console output.
cp "$work/server.out" "$data/$(date +dhcp%y%m.log)"
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
menu alt+o "$key_pref"
sheet "^$title_pref$" preferences-general.png preferences-interfaces.png preferences-dhcp.png \
    preferences-tftp.png preferences-tftp-options.png preferences-language.png
close "^$title_pref$"
menu alt+o "$key_profiles"
shoot "^$title_profiles$" profiles.png
focus "^$title_profiles$"
xdotool key "alt+$key_edit"
sleep 1.5
sheet "^Standard$" profile-basic.png profile-dns.png profile-netbios.png profile-time.png profile-boot.png \
    profile-other.png
close "^Standard$"
close "^$title_profiles$"
menu alt+o "$key_static"
shoot "^$title_static$" static-entry.png
close "^$title_static$"
menu "alt+$key_file" "$key_log"
shoot "^$title_log$" log.png
close "^$title_log$"
stop_manager
}

shoot_desktop C.UTF-8 "" Preferences "Configuration profiles" "Static entry" Log "^About - " p m a v a e f
shoot_desktop de_DE.UTF-8 -de Einstellungen Konfigurationsprofile "Statischer Eintrag" Protokoll "ber - Tolmark DHCP Server$" \
    e p s a b b d
