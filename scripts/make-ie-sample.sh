#!/bin/sh
# Makes the sample prefix's Internet Explorer traces the way Wine makes them: builds
# data/sample/wininet/make_cache.c with mingw-w64, runs it under wine in a temporary prefix
# (wininet fills the URL cache, the history and the cookie store there) and copies the
# resulting index.dat files, cache files and cookie files into data/sample/ie/.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/data/sample/ie"
for tool in x86_64-w64-mingw32-gcc wine wineserver; do
  command -v "$tool" >/dev/null || { echo "make-ie-sample: $tool is needed" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
x86_64-w64-mingw32-gcc -O1 -o "$work/make_cache.exe" "$here/data/sample/wininet/make_cache.c" -lwininet
mkdir "$work/prefix"
WINEPREFIX="$work/prefix" WINEDEBUG=-all wine "$work/make_cache.exe" make
WINEPREFIX="$work/prefix" wineserver -w
windows="$work/prefix/drive_c/users/$(id -un)/AppData/Local/Microsoft/Windows"
rm -rf "$out"
mkdir -p "$out"
for folder in INetCache INetCookies History; do
  cp -r "$windows/$folder" "$out/$folder"
done
find "$out" -type f | sort
