#!/usr/bin/env bash
# Installs what is missing, builds the command-line tool, writes the sample target and runs the
# main jobs on it: a Test of the cleaner's items and a registry scan; then the same on a sample
# offline Windows installation.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
# The installer's output goes to a log, named when it fails.
if ! scripts/install-deps.sh >build/install-deps.log 2>&1; then
  echo "run-sample: installing the build's packages failed; see build/install-deps.log" >&2
  tail -n 20 build/install-deps.log >&2
  exit 1
fi
cmake -S . -B build -G Ninja >/dev/null
# Only the program this script runs: the tests and benchmarks are for scripts/run-tests.sh.
cmake --build build --target kestrove-cli
rm -rf build/sample-target build/sample-home
build/kestrove-cli sample build/sample-target
export KESTROVE_HOME="$PWD/build/sample-home"
build/kestrove-cli --root build/sample-target info
build/kestrove-cli --root build/sample-target test Windows Advanced "Microsoft Office" "Instant Messengers" \
  "Internet Explorer" "Mozilla Firefox" Netscape Opera "Google Chrome"
build/kestrove-cli --root build/sample-target scan
# The same jobs on an offline Windows 7 installation, its hives in Windows' own format.
rm -rf build/sample-windows
build/kestrove-cli sample --offline build/sample-windows
build/kestrove-cli --root build/sample-windows info
build/kestrove-cli --root build/sample-windows test Windows "Internet Explorer"
build/kestrove-cli --root build/sample-windows scan
