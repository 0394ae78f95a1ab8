#!/bin/sh
# Runs the window tests that need a real X server: Xvfb on a free display, trayer as the
# notification-area host, the test program on Qt's xcb platform. Exit 77 (skipped) when Xvfb
# or trayer is not installed (scripts/install-deps.sh installs both).
# Usage: run-x11-tests.sh TEST-PROGRAM [Qt Test arguments]
set -u
program=$1
shift
for tool in Xvfb trayer; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done

display=""
for n in $(seq 91 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
if [ -z "$display" ]; then
  echo "SKIP: no free X display number"
  exit 77
fi

work=$(mktemp -d)
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
trayer_pid=""
cleanup() {
  [ -n "$trayer_pid" ] && kill "$trayer_pid" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

export DISPLAY=":$display"
i=0
until [ -e "/tmp/.X11-unix/X$display" ]; do
  i=$((i + 1))
  if [ $i -gt 100 ] || ! kill -0 "$xvfb" 2>/dev/null; then
    echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1
  fi
  sleep 0.1
done

# No session bus: Qt then uses the XEmbed tray that trayer hosts.
unset DBUS_SESSION_BUS_ADDRESS
trayer --edge bottom --align right --widthtype pixel --width 160 --heighttype pixel --height 32 \
  --transparent false --tint 0x808080 >"$work/trayer.log" 2>&1 &
trayer_pid=$!

export QT_QPA_PLATFORM=xcb
here=$(cd "$(dirname "$0")" && pwd)
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan.supp"
export KESTROVE_HOME="$work/home"
export KESTROVE_X11_SCREENSHOTS="${KESTROVE_X11_SCREENSHOTS:-$work}"
"$program" "$@"
