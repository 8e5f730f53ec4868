#!/bin/sh
# Runs a test as the user nobody (no administrator rights) in a network namespace of its own, so
# the server it starts serves no network of this machine. Needs root to get there; skipped
# (exit code 77) without it.
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: becoming the user nobody in a network namespace of its own needs root"
    exit 77
fi
for tool in unshare setpriv; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
home=$(mktemp -d /tmp/tolmark-nobody.XXXXXX)
chown 65534:65534 "$home"
unshare --net -- setpriv --reuid=65534 --regid=65534 --clear-groups -- \
    env HOME="$home" XDG_CONFIG_HOME="$home" TMPDIR="$home" QT_QPA_PLATFORM=offscreen "$@"
status=$?
rm -rf "$home"
exit $status
