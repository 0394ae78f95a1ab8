#!/usr/bin/env bash
# End-to-end benchmarks of kestrove-cli and kestrove-regedit on generated targets, each beside its reference
# (cp + sync, wc -l, load + one stat per distinct path, find), run in turn in one run; the
# offline Windows installation's reg add and scan beside cp + sync of its SOFTWARE hive and
# load + one stat per distinct path.
# Usage: bench/run-cli-bench.sh [NAME=KESTROVE_CLI ...]   (default: now=build/kestrove-cli)
# Give two programs (before=... after=...) to compare builds side by side. Environment:
# KESTROVE_BENCH_DIR (where the targets are made, default $TMPDIR/kestrove-cli-bench),
# ROUNDS (default 5), CASES (see run-cli-bench.py), REG_MB, SCAN_VALUES, SCAN_PATHS, BIN_FILES,
# BIG_MB, IMPORT_MB, DEEP_LEVELS, OFFLINE_MB, TARGETS (see make-prefixes.py).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${KESTROVE_BENCH_DIR:-${TMPDIR:-/tmp}/kestrove-cli-bench}
[ $# -gt 0 ] || set -- "now=$here/../build/kestrove-cli"
last=${!#}
KESTROVE_CLI=${last#*=} python3 "$here/make-prefixes.py" "$dir"
exec python3 "$here/run-cli-bench.py" "$dir" "${ROUNDS:-5}" "$@"
