#!/usr/bin/env bash
# The release kit: one firmware image in, one proven fwu.exe (and the console
# fwu-cli.exe with the same image) out.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/release.sh [--out DIR] [--format FORMAT] [--flash-end ADDR]
                          [--no-vector-check] [--build-dir DIR] IMAGE

Builds the fwu.exe that carries IMAGE, proves it against the boot loader
simulator under Wine, and only then writes DIR/fwu.exe, DIR/fwu-cli.exe (the
console command line, same image), DIR/SHA256SUMS (check with
`sha256sum -c SHA256SUMS` inside DIR) and DIR/release.json.

IMAGE is read by the tool's own reader (`fwu image`, built here first), which
tells the format by the content, never by the name (unless --format says):
  raw binary                              lies in flash from 0x08004000
  Intel HEX                               record types 00-05
  Motorola S-records                      S0-S9 (S4 is reserved)
  ELF32 little-endian ARM                 its PT_LOAD segments, p_filesz
                                          bytes at their physical addresses
A text file that is neither HEX nor S-records is refused, never taken as raw.
Gaps between the loaded parts are filled with 0xFF (erased flash); the kit
says how many bytes it filled. The image is refused (exit 3, no exe written),
with the file, the line or record and the reason, when: a record has a bad
checksum or syntax; the end-of-file / termination record is missing, or
anything but blank lines follows it; an S5/S6 count is wrong; overlapping
data disagree (identical overlaps pass); an address wraps past 4 GiB; data
lie below 0x08004000 (the boot loader's 16 KiB: a full-chip dump); the image,
padded to whole 1024-byte blocks, runs past the flash end; it is empty; it is
not a regular file; or, unless --no-vector-check, it does not start with a
Cortex-M vector table for 0x08004000 (initial stack pointer in SRAM
0x20000000-0x3FFFFFFF, reset vector odd and inside the image; one below
0x08004000 means an application linked for 0x08000000).

Options:
  --out DIR          where the release goes (default release/). An earlier
                     release there is replaced, only once the new one is
                     proven, and only the files its SHA256SUMS names with
                     their hashes (and that SHA256SUMS). Any other file by
                     one of the release's names refuses the run (exit 2)
                     before anything is built; nothing else in DIR is
                     touched
  --format FORMAT    how IMAGE is read: auto (told by its content, the
                     default), bin, hex, srec or elf; a refusal of a forced
                     format says "(the format was forced)"
  --flash-end ADDR   end of the device's flash (default 0x08100000, 1 MiB)
  --no-vector-check  skip the vector table check (the fwu-cli.exe released
                     then does not check its embedded image's either)
  --build-dir DIR    keep the builds here and reuse them next time (default:
                     a fresh temporary directory, removed at the end)
  -h, --help         this text

DIR and the build directory are taken as their real paths (symbolic links
resolved) and may not lie in the tree's build/.

Builds (with -j2, warnings as errors): the native fwu (Release) to read the
image and fwu-devsim to play the device; the win32 preset's fwu.exe and
fwu-cli.exe (i686 MinGW-w64, MinSizeRel) with the image embedded;
fwu_probe.exe (win64 preset) to read the window. The proof
(scripts/release_prove.py) runs that fwu.exe under Wine's 32-bit loader in a
64-bit prefix of its own on an Xvfb display, clicks "Update Device"
(xdotool), and needs the status "Programming Completed" and the simulator's
flash equal to the padded image.

Needs, installed beforehand (it installs nothing): to read the image,
python3, cmake 3.21+, g++, git, coreutils; then, checked once the image has
passed, to build and prove it: g++-mingw-w64-i686 and -x86-64, wine64, Wine's
32-bit loader /usr/lib/wine/wine (wine32:i386), xvfb, xdotool. Where the
kernel cannot run 32-bit programs, also qemu-user (qemu-i386 runs Wine's
32-bit loader; much slower), which scripts/install-deps.sh installs too.
Without a 32-bit loader that runs, nothing is released (exit 1, saying what
is missing): the kit ships no exe it has not proven.

Exit status: 0 released, 1 build or proof failed, 2 bad usage (or a foreign
file in DIR), 3 image refused.
EOF
}

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
BASE=$((0x08004000))

out=release
format=auto
flash_end_text=0x08100000
vector_check=1
build_dir=
image=

say() { printf 'release: %s\n' "$*"; }
usage_error() { printf 'release: %s\n(scripts/release.sh --help)\n' "$*" >&2; exit 2; }
refuse() { printf 'release: REFUSED %s\n' "$*" >&2; exit 3; }
fail() { printf 'release: FAILED: %s\n' "$*" >&2; exit 1; }
hex() { printf '0x%08x' "$1"; }

while [ $# -gt 0 ]; do
  case $1 in
    --out) [ $# -ge 2 ] || usage_error "--out needs a directory"; out=$2; shift 2 ;;
    --format) [ $# -ge 2 ] || usage_error "--format needs a format"; format=$2; shift 2 ;;
    --flash-end) [ $# -ge 2 ] || usage_error "--flash-end needs an address"; flash_end_text=$2; shift 2 ;;
    --no-vector-check) vector_check=0; shift ;;
    --build-dir) [ $# -ge 2 ] || usage_error "--build-dir needs a directory"; build_dir=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    --) shift; [ $# -eq 1 ] || usage_error "one IMAGE expected"; image=$1; shift ;;
    -*) usage_error "unknown option $1" ;;
    *) [ -z "$image" ] || usage_error "one IMAGE expected"; image=$1; shift ;;
  esac
done
[ -n "$image" ] || usage_error "no IMAGE given"
[ -n "$out" ] || usage_error "--out: an empty value"
[ -e "$image" ] || usage_error "no such file: $image"
case $format in auto|bin|hex|srec|elf) ;; *) usage_error "--format: auto, bin, hex, srec or elf, not '$format'" ;; esac
[[ $flash_end_text =~ ^(0[xX][0-9a-fA-F]{1,8}|[1-9][0-9]{0,9})$ ]] ||
  usage_error "--flash-end: '$flash_end_text' is not an address (e.g. 0x08100000)"
flash_end=$((flash_end_text))
[ "$flash_end" -gt "$BASE" ] && [ "$flash_end" -le $((0xFFFFFFFF)) ] ||
  usage_error "--flash-end: $flash_end_text must lie above 0x08004000 and within 32 bits"

# Real paths, symbolic links resolved, before the guard: a link into the
# tree's build/ must not let a run touch what the builds there made.
in_tree_build() { case $1 in "$ROOT/build"|"$ROOT/build/"*) return 0 ;; esac; return 1; }
out=$(realpath -m -- "$out") || usage_error "--out: cannot resolve it"
in_tree_build "$out" && usage_error "--out: $out lies in the tree's build/"
if [ -n "$build_dir" ]; then
  build_dir=$(realpath -m -- "$build_dir") || usage_error "--build-dir: cannot resolve it"
  in_tree_build "$build_dir" && usage_error "--build-dir: $build_dir lies in the tree's build/"
fi
mkdir -p -- "$out" || usage_error "--out: cannot make $out"

need() {  # need WHAT TOOL...: fails naming the first tool missing
  local what=$1 tool; shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null ||
      fail "$tool not found, needed $what (see --help for what the kit needs)"
  done
}
need "to read the image" python3 cmake g++ git sha256sum truncate

work=$(mktemp -d "${TMPDIR:-/tmp}/fwu-release.XXXXXX")
cleanup() { rm -rf -- "$work"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# What DIR holds by the release's names: nothing, or an earlier release,
# which the new one replaces once it is proven (scripts/release_out.py).
# Anything else there by those names stops the run before anything is built.
python3 "$ROOT/scripts/release_out.py" check "$out" "$work/out.json" ||
  usage_error "--out: a name the release needs is taken: move the file away or choose another DIR"

[ -f "$image" ] || refuse "$image: not a regular file"

builds=${build_dir:-$work/build}
log=$work/build.log
step() {  # step WHAT COMMAND...: runs it with its output in the log
  say "$1"; shift
  if ! (cd "$ROOT" && "$@") >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    fail "$*"
  fi
}

# --- the image ----------------------------------------------------------------
# The tool's own reader: what `fwu update --image` would write is what ships.
step "building fwu (native, Release) to read the image" \
  cmake -S "$ROOT" -B "$builds/native" -DCMAKE_BUILD_TYPE=Release -DFWU_WERROR=ON \
        -DFWU_BUILD_TESTS=OFF -DFWU_BUILD_BENCH=OFF
step "  compiling" cmake --build "$builds/native" --target fwu -j2
name=$(basename -- "$image")
raw=$work/image.bin
# The reader's options, passed on as they are.
reader_options=(--format "$format")
[ "$vector_check" = 1 ] || reader_options+=(--no-vector-check)
status=0
"$builds/native/fwu" image --json --flash-end "$(hex "$flash_end")" "${reader_options[@]}" \
  --raw-out "$raw" -- "$image" >"$work/image.json" 2>"$work/image.err" || status=$?
facts() {  # facts FIELD...: the fields of fwu image's JSON, one line each
  python3 - "$work/image.json" "$@" <<'EOF'
import json, sys
facts = json.load(open(sys.argv[1]))
for field in sys.argv[2:]:
    value = facts
    for key in field.split("."):
        value = value[int(key)] if isinstance(value, list) else value[key]
    print("" if value is None else value)
EOF
}
if [ "$status" = 2 ] && [ -s "$work/image.json" ]; then
  refuse "$(facts reason)"
elif [ "$status" != 0 ]; then
  cat "$work/image.err" >&2
  fail "fwu image could not read $image (exit $status)"
fi
facts format image_size padded_size gap_fill.bytes parts.0.address initial_sp reset_vector \
  sha256 image_crc >"$work/facts.txt" || fail "fwu image --json did not tell the facts of $image"
{ read -r format; read -r size; read -r padded; read -r gap; read -r lowest; read -r sp
  read -r reset; read -r image_sha256; read -r crc; } <"$work/facts.txt"
highest=$((BASE + size))
lowest=$((lowest))
if [ "$lowest" -gt "$BASE" ]; then
  say "filled $gap gap bytes with 0xFF (erased flash), $((lowest - BASE)) of them from" \
      "0x08004000 up to the first loaded part at $(hex "$lowest")"
elif [ "$gap" -gt 0 ]; then
  say "filled $gap gap bytes with 0xFF (erased flash) between the loaded parts"
else
  say "no gaps: no bytes filled"
fi
say "$name ($format): $size bytes from 0x08004000 to $(hex "$highest"), padded to $padded," \
    "CRC-16 $crc, SHA-256 $image_sha256"
[ "$vector_check" = 0 ] || say "vector table: stack pointer $sp, reset $reset"
# As the tool pads it: zeros up to whole blocks.
cp -- "$raw" "$work/padded.bin"
truncate -s "$padded" -- "$work/padded.bin"

# --- what the builds and the proof need ---------------------------------------
need "to build fwu.exe and prove it" i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ Xvfb xdotool \
  /usr/lib/wine/wine64
# The proof runs the i686 fwu.exe under Wine's 32-bit loader (through
# qemu-i386 where the kernel runs no 32-bit programs); without it nothing
# could be proven, and nothing unproven ships.
loader=$(PYTHONPATH="$ROOT/testkit${PYTHONPATH:+:$PYTHONPATH}" python3 - "$work/loader" <<'EOF'
import sys
from fwu_testkit import wineloader
loader, why = wineloader.find_machine_loader(wineloader.WINE32, sys.argv[1])
print(loader.described if loader else why)
sys.exit(0 if loader else 1)
EOF
) || fail "cannot prove fwu.exe here: $loader; no release written (the kit ships no exe it has not proven)"
say "the proof will run fwu.exe under $loader"

# --- the builds -----------------------------------------------------------------
step "building fwu.exe and fwu-cli.exe (win32 preset, i686) with the image embedded" \
  cmake --preset win32 -B "$builds/win32" -DFWU_WERROR=ON \
        -DFWU_FIRMWARE_IMAGE="$raw" -DFWU_FLASH_END="$(hex "$flash_end")" \
        -DFWU_EMBEDDED_VECTOR_CHECK="$([ "$vector_check" = 1 ] && echo ON || echo OFF)"
step "  compiling" cmake --build "$builds/win32" --target fwu fwu-cli -j2
step "building fwu_probe.exe (win64 preset) to read the window" \
  cmake --preset win64 -B "$builds/win64" -DFWU_WERROR=ON
step "  compiling" cmake --build "$builds/win64" --target fwu_probe -j2
step "building fwu-devsim (native)" cmake --build "$builds/native" --target fwu-devsim -j2
# From here on these copies are the executables: the one proven is the one shipped.
cp -- "$builds/win32/fwu.exe" "$work/fwu.exe"
cp -- "$builds/win32/fwu-cli.exe" "$work/fwu-cli.exe"
# The version both print for --version.
version=$(sed -n 's/^#define FWU_VERSION "\(.*\)"$/\1/p' "$builds/win32/generated/fwu_version.h")
[ -n "$version" ] || fail "no FWU_VERSION in $builds/win32/generated/fwu_version.h"

# --- the proof ------------------------------------------------------------------
say "proving fwu.exe under Wine against fwu-devsim (scripts/release_prove.py)"
PYTHONPATH="$ROOT/testkit${PYTHONPATH:+:$PYTHONPATH}" python3 "$ROOT/scripts/release_prove.py" \
  --exe "$work/fwu.exe" --probe "$builds/win64/fwu_probe.exe" \
  --devsim "$builds/native/tools/devsim/fwu-devsim" --image "$work/padded.bin" \
  --work "$work/prove" --result "$work/proof.json" ||
  fail "the proof failed: no release written"

# --- the release ----------------------------------------------------------------
exe_sha256=$(sha256sum < "$work/fwu.exe" | cut -d' ' -f1)
cli_sha256=$(sha256sum < "$work/fwu-cli.exe" | cut -d' ' -f1)
python3 - "$work/release.json" "$work/proof.json" "$name" "$image_sha256" "$format" "$size" \
  "$padded" "$gap" "$(hex "$flash_end")" "$vector_check" "$version" \
  "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$exe_sha256" "$cli_sha256" <<'EOF' || fail "could not write release.json"
import json, sys
(out, proof_path, name, image_sha256, fmt, size, padded, gap, flash_end, vector_check, version,
 date, exe_sha256, cli_sha256) = sys.argv[1:]
proof = json.load(open(proof_path))
release = {
    "image": name,
    "image_sha256": image_sha256,
    "format": fmt,
    "size": int(size),
    "padded_size": int(padded),
    "crc16_modbus": proof["crc16_modbus"],
    "gap_fill": {"byte": "0xff", "bytes": int(gap)},
    "base": "0x08004000",
    "flash_end": flash_end,
    "vector_check": vector_check == "1",
    "tool_version": version,
    "build_date": date,
    "fwu_exe_sha256": exe_sha256,
    "fwu_cli_exe_sha256": cli_sha256,
    "proof": {"loader": proof["loader"], "status": proof["status"],
              "flash": "equal to the padded image"},
}
with open(out, "w") as f:
    json.dump(release, f, indent=2)
    f.write("\n")
EOF
{
  printf '%s  fwu.exe\n' "$exe_sha256"
  printf '%s  fwu-cli.exe\n' "$cli_sha256"
  printf '%s  release.json\n' "$(sha256sum < "$work/release.json" | cut -d' ' -f1)"
} > "$work/SHA256SUMS"
# Into DIR: each file complete under a temporary name beside its own, then
# renamed over it, fwu.exe last; an earlier release's files go only now.
python3 "$ROOT/scripts/release_out.py" write "$out" "$work/out.json" "$work" ||
  fail "could not write the release into $out"
say "released $out/fwu.exe ($name, $padded bytes padded, $version): fwu.exe, fwu-cli.exe," \
    "SHA256SUMS, release.json"
