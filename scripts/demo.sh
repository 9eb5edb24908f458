#!/usr/bin/env bash
# The main job, shown: installs what it needs, builds the release tool (win32)
# with the x86-64 build beside it (its fwu_probe.exe reads the window) and the
# boot loader simulator, then runs one update through the real fwu.exe under
# Wine's 32-bit loader and shows what the operator sees (scripts/demo.py).
# Where that loader cannot be installed or run, it says so and runs the
# x86-64 build (build/win64/fwu.exe) under Wine's 64-bit loader instead.
#   scripts/demo.sh            on $DISPLAY if set, else on an Xvfb display
#   scripts/demo.sh --xvfb     always on a display of its own
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo

jobs=$(nproc 2>/dev/null || echo 2)
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" >/dev/null
done
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target fwu-devsim >/dev/null

export PYTHONPATH="$PWD/testkit${PYTHONPATH:+:$PYTHONPATH}"
exec python3 scripts/demo.py "$@"
