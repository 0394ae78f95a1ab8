#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UBSan, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build-asan -DKESTROVE_SANITIZE=ON -DKESTROVE_BENCH=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j2
# Every parser of outside data must survive its fuzzer under the sanitizers.
scripts/run-fuzz.sh "${KESTROVE_FUZZ_SECONDS:-20}"
# The Debian package builds, unpacks into an empty folder and works from there.
scripts/package.sh build-pkg
