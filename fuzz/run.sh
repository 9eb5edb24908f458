#!/usr/bin/env bash
# Runs one fuzz target for a bounded time, starting from a scratch copy of
# its committed seed corpus (fuzz/corpus/<name>, which is never changed).
# Exits non-zero on any finding: a crash, a sanitizer report, a broken
# property, a leak or an input over the time limit. The input that caused
# it is kept in build/fuzz/findings/; replay it with
#   FWU_FUZZ_TRACE=1 build/fuzz/fuzz/engine_fuzz build/fuzz/findings/crash-...
#
# usage: fuzz/run.sh engine_fuzz|frame_fuzz|image_fuzz [seconds] [more libFuzzer flags...]
# Build first: cmake --preset fuzz && cmake --build --preset fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: fuzz/run.sh engine_fuzz|frame_fuzz|image_fuzz [seconds] [libFuzzer flags...]}
seconds=${2:-60}
shift $(($# > 1 ? 2 : 1))
[ "$seconds" -ge 1 ] 2>/dev/null || seconds=1  # 0 would mean no limit at all
fuzzer=build/fuzz/fuzz/$target
seeds=fuzz/corpus/${target%_fuzz}
if [ ! -x "$fuzzer" ] || [ ! -d "$seeds" ]; then
  echo "no $fuzzer or $seeds: cmake --preset fuzz && cmake --build --preset fuzz" >&2
  exit 2
fi

# Symbolized stack traces in reports, by the llvm-symbolizer of the clang
# the fuzz build was configured with.
. fuzz/llvm_tools.sh
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ]; then
  compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/fuzz/CMakeCache.txt 2>/dev/null || true)
  symbolizer=$(llvm_tool llvm-symbolizer "$compiler")
  [ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$seeds"/* "$scratch/"
findings=build/fuzz/findings
mkdir -p "$findings"
log=build/fuzz/$target.log

status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$@" "$scratch" >"$log" 2>&1 || status=$?

if [ "$status" -ne 0 ]; then
  tail -n 60 "$log" >&2
  echo "$target: finding (exit $status); input kept in $findings/, log in $log" >&2
  exit 1
fi
# The first and last coverage lines and the totals.
grep -m1 'INITED' "$log" || true
grep -E '^#[0-9]+' "$log" | tail -n 1
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log"
echo "$target: no findings in ${seconds}s; corpus grew from $(ls "$seeds" | wc -l) to $(ls "$scratch" | wc -l) inputs"
