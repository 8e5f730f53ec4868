#!/bin/sh
# The AT-SPI scenario (atspi_scenario.py, with Debian's python3, which has pyatspi) in a network namespace of its own, so the server it
# starts serves no network of this machine, and on a session bus of its own.
# Usage: atspi_scenario.sh VELKORA TRISKO DORVANE
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: a network namespace of its own needs root"
    exit 77
fi
for tool in unshare dbus-run-session Xvfb; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
/usr/bin/python3 -c "import pyatspi" 2>/dev/null || { echo "SKIPPED: python3-pyatspi is missing"; exit 77; }
exec unshare --net -- sh -c 'ip link set lo up; exec dbus-run-session -- /usr/bin/python3 "$0" "$@"' \
    "$(dirname "$0")/atspi_scenario.py" "$@"
