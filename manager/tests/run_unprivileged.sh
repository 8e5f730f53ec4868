#!/bin/sh
# Runs a test as the user nobody (no administrator rights) in a network namespace of its own, so
# the server it starts serves no network of this machine. The test and the server are copied to
# a folder of nobody's own, as the build tree may lie where nobody cannot reach it. Needs root
# to get there; skipped (exit code 77) without it.
# Usage: run_unprivileged.sh VELKORA TEST [ARGUMENTS...]
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: becoming the user nobody in a network namespace of its own needs root"
    exit 77
fi
for tool in unshare setpriv; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is missing"; exit 77; }
done
velkora=$1
test=$2
shift 2
home=$(mktemp -d /tmp/tolmark-nobody.XXXXXX)
cp "$velkora" "$home/Velkora"
cp "$test" "$home/test"
chown -R 65534:65534 "$home"
chmod 755 "$home"
unshare --net -- setpriv --reuid=65534 --regid=65534 --clear-groups -- \
    env HOME="$home" XDG_CONFIG_HOME="$home" TMPDIR="$home" QT_QPA_PLATFORM=offscreen \
        TOLMARK_TEST_VELKORA="$home/Velkora" "$home/test" "$@"
status=$?
rm -rf "$home"
exit $status
