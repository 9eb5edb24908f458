#!/usr/bin/env bash
# The speed benchmark: builds the native preset and runs fwu-bench, which
# updates fwu-devsim over a paced pseudo-terminal and prints Markdown tables
# (also kept in build/native/bench/results.md). Arguments go to fwu-bench,
# e.g. --sizes 100K --flash-ms 0. Takes about five minutes with the
# defaults; run it on an otherwise idle machine.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset native >/dev/null
cmake --build --preset native --target fwu-bench -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
build/native/bench/fwu-bench "$@" | tee build/native/bench/results.md
