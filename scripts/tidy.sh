#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy on the C++ sources a change touches: the files that
# differ from BASE (default: the commit before HEAD; the working tree counts), or every source
# with --all. Runs on the clang build's compile commands (server, trisko and their tests; the
# manager is not in that build). Exits non-zero on any finding.
#   scripts/tidy.sh [--all | BASE]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/clang
[[ -f $build/compile_commands.json ]] || { echo "tidy: run 'cmake --preset clang' first" >&2; exit 2; }

if [[ ${1:-} == --all ]]; then
    mapfile -t changed < <(git ls-files '*.cpp')
else
    base=${1:-HEAD~1}
    if ! git rev-parse --verify -q "$base^{commit}" >/dev/null; then
        echo "tidy: no commit $base here (a shallow clone?): checking every source"
        mapfile -t changed < <(git ls-files '*.cpp')
    else
        mapfile -t changed < <(git diff --name-only --diff-filter=d "$base" -- '*.cpp')
    fi
fi

# Only what the clang build compiles (no Qt sources, no fuzz entry points).
mapfile -t known < <(python3 -c '
import json, os, sys
root = os.getcwd()
for e in json.load(open(sys.argv[1])):
    print(os.path.relpath(e["file"], root))' "$build/compile_commands.json" | sort -u)
# The compile-fail cases are meant not to compile.
mapfile -t files < <(comm -12 <(printf '%s\n' "${changed[@]}" | sort -u) <(printf '%s\n' "${known[@]}") |
                     grep -v '^tests/compile_fail/' || true)
if [[ ${#files[@]} -eq 0 ]]; then
    echo "tidy: no changed source in the clang build"
    exit 0
fi
echo "tidy: ${#files[@]} source(s)"
products=() tests=()
for f in "${files[@]}"; do
    if [[ $f == tests/* || $f == */tests/* ]]; then tests+=("$PWD/$f"); else products+=("$PWD/$f"); fi
done
status=0
if [[ ${#products[@]} -gt 0 ]]; then
    run-clang-tidy -quiet -p "$build" -j "$(nproc)" "${products[@]}" || status=1
fi
# A test sets its environment before it starts any thread: setenv is no fault there.
if [[ ${#tests[@]} -gt 0 ]]; then
    run-clang-tidy -quiet -p "$build" -j "$(nproc)" -checks=-concurrency-mt-unsafe "${tests[@]}" || status=1
fi
exit $status
