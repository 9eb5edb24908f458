#!/usr/bin/env bash
# The speed benchmark: builds the native and win64 presets and runs
# bench/bench.py, which updates fwu-devsim over a paced pseudo-terminal with
# the native engine (its timed child, fwu-bench-tool), then once with fwu.exe
# under Wine, and prints Markdown tables (also kept in
# build/native/bench/results.md). Arguments go to bench.py, e.g.
# --sizes 100K --flash-ms 0. About six minutes with the defaults; run it on an
# otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
for preset in native win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
done
export PYTHONPATH="$PWD/testkit${PYTHONPATH:+:$PYTHONPATH}"
python3 bench/bench.py --wine "$@" | tee build/native/bench/results.md
