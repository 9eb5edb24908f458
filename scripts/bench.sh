#!/usr/bin/env bash
# The speed benchmark: builds the native and win64 presets and runs
# bench/bench.py, which updates fwu-devsim over a paced pseudo-terminal with
# the native engine at the terminal screen's cadence (its timed child,
# fwu-bench-tool) and with `fwu update` on 1, 2, 4 and 8 devices at once,
# then once with fwu.exe under Wine, then bench/bench_modes.py (fwu verify,
# and the production bench on one slot and on eight), and prints Markdown
# tables (also kept in
# build/native/bench/results.md). Arguments go to bench.py, e.g.
# --sizes 100K --flash-ms 0 --devices 1,8. About 25 minutes with the
# defaults; run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
for preset in native win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
done
export PYTHONPATH="$PWD/testkit${PYTHONPATH:+:$PYTHONPATH}"
python3 bench/bench.py --wine "$@" | tee build/native/bench/results.md
# verify and the production bench (about 3 minutes)
python3 bench/bench_modes.py | tee -a build/native/bench/results.md
