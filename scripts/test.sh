#!/usr/bin/env bash
# Runs every test from nothing: installs what is missing, builds every preset
# with warnings as errors, and runs the test suites.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

jobs=$(nproc 2>/dev/null || echo 2)
for preset in native win32 win64; do
  cmake --preset "$preset" -DFWU_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
# The release build and its Debian package, which package_contents inspects.
scripts/package.sh > /dev/null

# Every Wine path this machine can have must run: the 64-bit loader's always,
# the 32-bit one's wherever Wine's 32-bit loader is installed (run natively,
# or through qemu-i386 where the kernel runs no 32-bit programs). Where the
# mirror had no wine32:i386 to install (scripts/install-deps.sh says so),
# its cases skip; the lines at the end name every test that did not run here
# and why.
require_wine=wine64
[ -e /usr/lib/wine/wine ] && require_wine=wine32,wine64
junit=build/native/ctest-junit.xml
rm -f "$junit"
not_run() {
  [ -f "$junit" ] || return 0
  python3 - "$junit" <<'EOF'
import collections, sys, xml.etree.ElementTree as ET
why = collections.defaultdict(list)
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    if case.get("status") == "notrun":
        said = [l for l in (case.findtext("system-out") or "").splitlines() if l.startswith("SKIP ")]
        why[said[-1][5:] if said else "no reason given"].append(case.get("name"))
for reason, names in why.items():
    print(f"test.sh: not run here ({len(names)}): {reason}:\n    " + " ".join(names))
if not why:
    print("test.sh: every test ran, every Wine path included")
EOF
}
trap 'status=$?; not_run; exit $status' EXIT
FWU_REQUIRE_WINDOWS_BUILDS=1 FWU_REQUIRE_USBVM=1 FWU_REQUIRE_PACKAGE=1 FWU_REQUIRE_MAN_PAGES=1 \
  FWU_REQUIRE_WINE_LOADERS=$require_wine ctest --preset native -j "$jobs" --output-junit "$PWD/$junit"

# The fuzzers (clang, ASan, UBSan), about a minute in all, each on a scratch
# copy of its seed corpus; any finding fails the run.
cmake --preset fuzz -DFWU_WERROR=ON >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_seconds=${FWU_FUZZ_SECONDS:-60}
fuzz/run.sh engine_fuzz $((fuzz_seconds * 2 / 3))
fuzz/run.sh frame_fuzz $((fuzz_seconds / 6))
# The image reader holds no more than its input's worth; no single
# allocation of it comes near 64 MiB (its layout is at most the flash window).
fuzz/run.sh image_fuzz $((fuzz_seconds - fuzz_seconds * 2 / 3 - fuzz_seconds / 6)) -malloc_limit_mb=64

# Every native test again under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset asan -DFWU_WERROR=ON >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"
