#!/usr/bin/env bash
# Installs what is missing, builds, writes the sample target and runs the main job on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
rm -rf build/sample-target
build/kestrove-cli sample build/sample-target
export KESTROVE_HOME="$PWD/build/sample-home"
build/kestrove-cli --root build/sample-target info
build/kestrove-cli --root build/sample-target reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\RunMRU'
