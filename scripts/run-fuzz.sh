#!/usr/bin/env bash
# Usage: scripts/run-fuzz.sh [SECONDS]  — builds every fuzz target and runs each for SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKESTROVE_FUZZ=ON -DKESTROVE_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
cmake --build build-fuzz --target $targets
for t in $targets; do
  corpus="fuzz/corpus/${t#fuzz_}"
  work="build-fuzz/corpus-${t#fuzz_}"
  mkdir -p "$work"
  [ -d "$corpus" ] && cp -n "$corpus"/* "$work"/ 2>/dev/null || true
  # Real index.dat files and hives may not be copied into the project: seed from the shared test data.
  if [ "$t" = fuzz_index_dat ] && [ -d ../shared/testdata/msiecf ]; then
    cp -n ../shared/testdata/msiecf/* "$work"/ 2>/dev/null || true
  fi
  if [ "$t" = fuzz_regf_hive ] && [ -d ../shared/testdata/regf ]; then
    find ../shared/testdata/regf -maxdepth 1 -type f -size -1M -exec cp -n {} "$work"/ \; 2>/dev/null || true
  fi
  echo "== $t for ${seconds}s"
  "build-fuzz/$t" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 "$work" 2>&1 | tail -4
done
