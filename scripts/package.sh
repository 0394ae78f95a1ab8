#!/usr/bin/env bash
# Usage: scripts/package.sh [BUILD_DIR]  — builds the programs and their manual pages, makes the
# Debian package with cpack, and checks it: unpacked into an empty folder (dpkg -x), the programs
# answer --version, each manual page formats, the desktop entry validates, and the unpacked
# kestrove-cli finds its shipped definitions. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-pkg}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTROVE_BENCH=OFF >/dev/null
cmake --build "$dir" --target kestrove kestrove-cli kestrove-regedit man
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/kestrove_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root/installed"
for program in kestrove kestrove-cli kestrove-regedit; do
  QT_QPA_PLATFORM=offscreen "$root/installed/usr/bin/$program" --version | grep -q "1\." ||
    { echo "package: $program --version failed" >&2; exit 1; }
  man -l "$root/installed/usr/share/man/man1/$program.1" 2>&1 | grep -q "$program" ||
    { echo "package: the manual page of $program does not format" >&2; exit 1; }
done
desktop-file-validate "$root/installed/usr/share/applications/kestrove.desktop"
bash -n "$root/installed/usr/share/bash-completion/completions/kestrove-cli"
# A first run seeds the user's settings folder from the installed definitions.
HOME="$root/home" XDG_CONFIG_HOME= KESTROVE_HOME= "$root/installed/usr/bin/kestrove-cli" sample "$root/prefix" >/dev/null
HOME="$root/home" XDG_CONFIG_HOME= KESTROVE_HOME= "$root/installed/usr/bin/kestrove-cli" --root "$root/prefix" items >/dev/null
cmp -s "$root/home/.config/kestrove/qvtk.dat" "$root/installed/usr/share/kestrove/qvtk.dat" ||
  { echo "package: the installed kestrove-cli did not find its definitions" >&2; exit 1; }
echo "$deb"
