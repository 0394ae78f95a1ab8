#!/usr/bin/env bash
# Installs what is missing, builds, writes the sample target and runs the main jobs on it:
# a Test of the cleaner's items and a registry scan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
rm -rf build/sample-target build/sample-home
build/kestrove-cli sample build/sample-target
export KESTROVE_HOME="$PWD/build/sample-home"
build/kestrove-cli --root build/sample-target info
build/kestrove-cli --root build/sample-target test Windows Advanced "Microsoft Office" "Instant Messengers" \
  "Internet Explorer" "Mozilla Firefox" Netscape Opera "Google Chrome"
build/kestrove-cli --root build/sample-target scan
