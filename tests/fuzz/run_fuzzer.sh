#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time and count, starting from its committed corpus,
# and says how many inputs it ran. New inputs go to a scratch directory, never into the source
# tree; a finding (crash, sanitizer report, failed check, leak, time-out) is kept in the
# findings directory for reproduction ("<target> <file>") and fails the run.
#
#   run_fuzzer.sh TARGET CORPUS FINDINGS SECONDS RUNS
# TOLMARK_FUZZ_SEED changes libFuzzer's seed (default fixed, so that runs repeat).
set -euo pipefail
target=$1 corpus=$2 findings=$3 seconds=$4 runs=$5
name=$(basename "$target")
# Targets that work on files (the control pipe's settings saves sync every file) run their
# temporary directories in memory when the machine has a tmpfs for it.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"
log="$findings/last-run.log"

status=0
"$target" -seed="${TOLMARK_FUZZ_SEED:-20241207}" -max_total_time="$seconds" -runs="$runs" \
    -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$scratch" "$corpus" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
if [ "$status" -ne 0 ] || [ -z "$executions" ]; then
    tail -n 60 "$log"
    echo "fuzz $name: FINDING (exit $status); input and log in $findings"
    exit 1
fi
echo "fuzz $name: $executions executions in ${seconds} s at most, $coverage, 0 findings"
