#!/usr/bin/env bash
# Fuzzes the update engine for a bounded time, starting from a scratch copy
# of the committed seed corpus (which is never changed). Exits non-zero on
# any finding: a crash, a sanitizer report, a broken property, a leak or a
# run over the per-input time limit. The input that caused it is kept in
# build/fuzz/findings/; replay it with
#   FWU_FUZZ_TRACE=1 build/fuzz/fuzz/engine_fuzz build/fuzz/findings/crash-...
#
# usage: fuzz/run.sh [seconds] [more libFuzzer flags...]
# Build first: cmake --preset fuzz && cmake --build --preset fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
fuzzer=build/fuzz/fuzz/engine_fuzz
if [ ! -x "$fuzzer" ]; then
  echo "no $fuzzer: cmake --preset fuzz && cmake --build --preset fuzz" >&2
  exit 2
fi

# Symbolized stack traces in reports, from the llvm-14 tools.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp fuzz/corpus/engine/* "$scratch/"
findings=build/fuzz/findings
mkdir -p "$findings"
log=build/fuzz/engine_fuzz.log

status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$@" "$scratch" >"$log" 2>&1 || status=$?

if [ "$status" -ne 0 ]; then
  tail -n 60 "$log" >&2
  echo "engine_fuzz: finding (exit $status); input kept in $findings/, log in $log" >&2
  exit 1
fi
# The first and last coverage lines and the totals.
grep -m1 'INITED' "$log" || true
grep -E '^#[0-9]+' "$log" | tail -n 1
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log"
echo "engine_fuzz: no findings in ${seconds}s; corpus grew from $(ls fuzz/corpus/engine | wc -l) to $(ls "$scratch" | wc -l) inputs"
