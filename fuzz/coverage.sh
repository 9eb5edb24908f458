#!/usr/bin/env bash
# Line and branch coverage of the protocol code reached by a fuzz corpus:
# builds engine_fuzz with clang's source coverage in build/fuzz-cov, replays
# the corpus once and prints llvm-cov's report.
#
# usage: fuzz/coverage.sh [corpus-dir]   (default: the committed seeds)
# A grown corpus says more, e.g.:
#   mkdir -p /tmp/grown && cp fuzz/corpus/engine/* /tmp/grown
#   build/fuzz/fuzz/engine_fuzz -max_total_time=60 /tmp/grown; fuzz/coverage.sh /tmp/grown
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=${1:-fuzz/corpus/engine}
build=build/fuzz-cov

# clang++ (else the newest clang++-N) and llvm-profdata/llvm-cov of its version.
. fuzz/llvm_tools.sh
compiler=$(fuzz_clang)
profdata=$(llvm_tool llvm-profdata "$compiler")
cov=$(llvm_tool llvm-cov "$compiler")
if [ -z "$compiler" ] || [ -z "$profdata" ] || [ -z "$cov" ]; then
  echo "needs clang++, llvm-profdata and llvm-cov: scripts/install-deps.sh test installs them" >&2
  exit 2
fi

cmake -S . -B "$build" "-DCMAKE_CXX_COMPILER=$compiler" -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping" \
  -DFWU_BUILD_FUZZ=ON -DFWU_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target engine_fuzz -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -f "$build"/engine.profraw
LLVM_PROFILE_FILE="$build/engine.profraw" "$build/fuzz/engine_fuzz" -runs=0 "$corpus" >/dev/null 2>&1
"$profdata" merge -o "$build/engine.profdata" "$build/engine.profraw"
"$cov" report "$build/fuzz/engine_fuzz" -instr-profile="$build/engine.profdata" \
  src/protocol/engine.cpp src/protocol/engine_wire.cpp src/protocol/engine_setup.cpp \
  src/protocol/engine_outcome.cpp src/protocol/frame.cpp
