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
FWU_REQUIRE_WINDOWS_BUILDS=1 FWU_REQUIRE_USBVM=1 FWU_REQUIRE_PACKAGE=1 FWU_REQUIRE_MAN_PAGES=1 \
  ctest --preset native -j "$jobs"

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
