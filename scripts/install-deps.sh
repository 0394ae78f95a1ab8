#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are there.
set -euo pipefail
# fonts-dejavu-core: the window tests measure text, which needs a font even offscreen.
# libsqlite3-dev: the SQLite layer; sqlite3 and libmsiecf-utils: reference tools the tests compare with;
# libx11-dev, libxtst-dev, xvfb, trayer: the boss key and the tray icon, tested under Xvfb.
# help2man, dpkg-dev, desktop-file-utils, man-db: the manual pages, the Debian package and its check.
# libregf-utils, libwin-hivex-perl, xz-utils: reference readers of binary hives (regfexport, regfinfo,
# hivexregedit), which the regf tests compare our reading and writing with, and the unpacking of the
# compressed test hives.
packages=(g++ cmake ninja-build libgtest-dev libbenchmark-dev clang libclang-rt-dev qt6-base-dev fonts-dejavu-core
  libsqlite3-dev sqlite3 libmsiecf-utils libx11-dev libxtst-dev xvfb trayer help2man dpkg-dev desktop-file-utils
  man-db libregf-utils libwin-hivex-perl xz-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
