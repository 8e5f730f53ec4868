#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need (systemd only for
# "systemd-analyze security", which rates the service unit; nothing is started). Quiet when
# everything is there already; needs root otherwise. The manager's accessibility scenario needs
# an X server without a screen, a session bus, the AT-SPI registry and Python's AT-SPI binding.
# "--screenshots" adds what scripts/screenshots.sh needs (a window grabber, a key sender and the
# German locale's data).
set -euo pipefail

packages=(cmake ninja-build g++ make clang-format libgtest-dev libgmock-dev libbenchmark-dev python3 iproute2
          busybox isc-dhcp-client dhcpcd-base isc-dhcp-relay bind9 bind9-dnsutils dpkg-dev man-db util-linux curl
          tftp-hpa atftp kea-dhcp4-server kea-admin qt6-base-dev qt6-svg-dev libgl-dev qt6-qpa-plugins fonts-dejavu-core
          poppler-utils desktop-file-utils clang clang-tidy libclang-rt-14-dev libssl-dev libcap-ng-dev systemd
          libpq-dev postgresql libcpp-httplib-dev pkg-config prometheus
          xvfb dbus at-spi2-core python3-pyatspi)
if [ "${1:-}" = "--screenshots" ]; then
    packages+=(xauth imagemagick xdotool locales)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "These packages are missing: ${missing[*]}" >&2
    echo "Run this command as root (for example with sudo) so that they can be installed." >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# Servers installed only as test peers are started by the tests themselves, inside network
# namespaces; their system services must not run on the host.
for unit in named kea-dhcp4-server postgresql prometheus; do
    systemctl disable --now "$unit" >/dev/null 2>&1 || true
done
