#!/usr/bin/env bash
# The main job, shown: installs what it needs, builds the x86-64 tool and the
# boot loader simulator, then runs one update through the real fwu.exe under
# Wine and shows what the operator sees (scripts/demo.py).
#   scripts/demo.sh            on $DISPLAY if set, else on an Xvfb display
#   scripts/demo.sh --xvfb     always on a display of its own
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs" >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target fwu-devsim >/dev/null

exec python3 scripts/demo.py "$@"
