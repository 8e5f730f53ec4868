#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, checks that the sources keep their format (.clang-format),
# builds the normal and the sanitizer configuration, and
# runs every test in both; then the server alone with clang and its lock analysis (no Qt),
# clang-tidy on the sources the last commit touched, and its unit tests; then builds the
# libFuzzer targets with clang and runs each for a bounded time; then builds the threaded
# tests and one scenario with ThreadSanitizer and runs them. Scenarios that need network
# namespaces run only as root and say so when they are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
for preset in default asan; do
    echo "== build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "== test: $preset"
    ctest --preset "$preset"
done
echo "== build: clang (server and trisko without Qt; lock annotations checked, -Wthread-safety -Werror)"
cmake --preset clang >/dev/null
cmake --build --preset clang
echo "== tidy: the sources this change touches (.clang-tidy; scripts/tidy.sh --all for every one)"
bash scripts/tidy.sh
echo "== test: clang (unit tests and compile-fail cases)"
ctest --preset clang
echo "== build: fuzz (clang: libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
echo "== test: fuzz (each target for a bounded time from its corpus)"
ctest --preset fuzz
echo "== build: tsan (threaded tests and one scenario)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
echo "== test: tsan"
ctest --preset tsan
