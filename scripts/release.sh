#!/usr/bin/env bash
# The release kit: one firmware image in, one proven fwu.exe out.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/release.sh [--out DIR] [--flash-end ADDR] [--no-vector-check]
                          [--build-dir DIR] IMAGE

Builds the fwu.exe that carries IMAGE, proves it against the boot loader
simulator under Wine, and only then writes DIR/fwu.exe, DIR/SHA256SUMS (check
with `sha256sum -c SHA256SUMS` inside DIR) and DIR/release.json.

IMAGE, by its extension:
  .bin                                    raw, lies in flash from 0x08004000
  .hex .ihex                              Intel HEX
  .srec .s19 .s28 .s37 .mot               Motorola S-records
  .elf .axf                               ARM ELF (its loadable sections, at
                                          their load addresses)
Gaps between the loaded parts are filled with 0xFF (erased flash); the kit
says how many bytes it filled. The image is refused (no exe written) when it
is empty, holds data below 0x08004000 (the boot loader's 16 KiB), runs past
the flash end once padded to whole 1024-byte blocks, or, unless
--no-vector-check, does not start with a Cortex-M vector table for
0x08004000: initial stack pointer in SRAM (0x20000000-0x3FFFFFFF), reset
vector odd (Thumb) and inside the image.

Options:
  --out DIR          where the release goes (default release/); the fwu.exe,
                     SHA256SUMS and release.json of an earlier run there are
                     removed first, so a failed run leaves no fwu.exe behind
  --flash-end ADDR   end of the device's flash (default 0x08100000, 1 MiB)
  --no-vector-check  skip the vector table check
  --build-dir DIR    keep the builds here and reuse them next time (default:
                     a fresh temporary directory, removed at the end); never
                     the tree's build/
  -h, --help         this text

Builds (with -j2, warnings as errors): the win32 preset's fwu.exe (i686
MinGW-w64, MinSizeRel) with the image embedded; fwu_probe.exe (win64 preset)
to read the window; fwu-devsim (native). The proof (scripts/release_prove.py)
runs that fwu.exe under Wine's 32-bit loader in a 64-bit prefix of its own on
an Xvfb display, clicks "Update Device" (xdotool), and needs the status
"Programming Completed" and the simulator's flash equal to the padded image.

Needs, installed beforehand (it installs nothing): binutils (objcopy,
objdump, readelf: the generic elf32-little target reads ARM ELF), cmake 3.21+,
g++, g++-mingw-w64-i686 and -x86-64 (with their binutils), python3, wine64
and wine32:i386 (/usr/lib/wine/wine), xvfb, xdotool, git, coreutils. Where the
kernel cannot run 32-bit programs, also qemu-user (qemu-i386 runs Wine's
32-bit loader; much slower), which scripts/install-deps.sh installs
too. Override the binutils with OBJCOPY, OBJDUMP, READELF.

Exit status: 0 released, 1 build or proof failed, 2 bad usage, 3 image refused.
EOF
}

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BASE=$((0x08004000))
BLOCK=1024
OBJCOPY=${OBJCOPY:-objcopy}
OBJDUMP=${OBJDUMP:-objdump}
READELF=${READELF:-readelf}

out=release
flash_end_text=0x08100000
vector_check=1
build_dir=
image=

say() { printf 'release: %s\n' "$*"; }
usage_error() { printf 'release: %s\n(scripts/release.sh --help)\n' "$*" >&2; exit 2; }
refuse() { printf 'release: REFUSED %s: %s\n' "$image" "$*" >&2; exit 3; }
fail() { printf 'release: FAILED: %s\n' "$*" >&2; exit 1; }
hex() { printf '0x%08x' "$1"; }

while [ $# -gt 0 ]; do
  case $1 in
    --out) [ $# -ge 2 ] || usage_error "--out needs a directory"; out=$2; shift 2 ;;
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
[ -f "$image" ] || usage_error "no such file: $image"
[[ $flash_end_text =~ ^(0[xX][0-9a-fA-F]{1,8}|[1-9][0-9]{0,9})$ ]] ||
  usage_error "--flash-end: '$flash_end_text' is not an address (e.g. 0x08100000)"
flash_end=$((flash_end_text))
[ "$flash_end" -gt "$BASE" ] && [ "$flash_end" -le $((0xFFFFFFFF)) ] ||
  usage_error "--flash-end: $flash_end_text must lie above 0x08004000 and within 32 bits"
out=$(mkdir -p -- "$out" && cd -- "$out" && pwd) || usage_error "--out: cannot make $out"
case $out in "$ROOT/build"|"$ROOT/build/"*) usage_error "--out: not under the tree's build/" ;; esac
if [ -n "$build_dir" ]; then
  build_dir=$(mkdir -p -- "$build_dir" && cd -- "$build_dir" && pwd) ||
    usage_error "--build-dir: cannot make it"
  case $build_dir in "$ROOT/build"|"$ROOT/build/"*) usage_error "--build-dir: not under the tree's build/" ;; esac
fi

# An earlier release in DIR goes first: whatever happens next, no fwu.exe is
# left there that this run did not prove.
rm -f -- "$out/fwu.exe" "$out/SHA256SUMS" "$out/release.json" "$out/.fwu.exe.partial"

work=$(mktemp -d "${TMPDIR:-/tmp}/fwu-release.XXXXXX")
released=0
cleanup() {
  if [ "$released" != 1 ]; then
    rm -f -- "$out/fwu.exe" "$out/SHA256SUMS" "$out/release.json" "$out/.fwu.exe.partial"
  fi
  rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# --- the image ----------------------------------------------------------------
name=$(basename -- "$image")
lower=$(printf '%s' "$name" | tr '[:upper:]' '[:lower:]')
case $lower in
  *.bin) format=binary ;;
  *.hex|*.ihex) format=ihex ;;
  *.srec|*.s19|*.s28|*.s37|*.mot) format=srec ;;
  *.elf|*.axf) format=elf ;;
  *) refuse "unknown image type (.bin, .hex/.ihex, .srec/.s19/.s28/.s37/.mot, .elf/.axf)" ;;
esac
for tool in "$OBJCOPY" "$OBJDUMP" "$READELF"; do
  command -v "$tool" >/dev/null || fail "$tool not found (package binutils)"
done

raw=$work/image.bin
if [ "$format" = binary ]; then
  size=$(stat -c %s -- "$image")
  [ "$size" -gt 0 ] || refuse "empty image: nothing to write"
  lowest=$BASE
  highest=$((BASE + size))
  loaded=$size
  last_section="raw image at 0x08004000"
  last_start=$BASE
else
  if [ "$format" = elf ]; then
    bfd=elf32-little
    header=$("$READELF" -h -- "$image" 2>&1) || refuse "not an ELF file ($header)"
    grep -q 'Class:[[:space:]]*ELF32$' <<<"$header" &&
      grep -q 'Data:.*little endian' <<<"$header" &&
      grep -q 'Machine:[[:space:]]*ARM$' <<<"$header" ||
      refuse "not a 32-bit little-endian ARM ELF file"
  else
    bfd=$format
  fi
  # Loaded parts: sections with contents that are allocated and loaded, at
  # their load addresses (LMA), as objcopy -O binary takes them.
  sections=$("$OBJDUMP" -h -w -b "$bfd" -- "$image" 2>&1) || refuse "not a readable $format file: $sections"
  parts=$(awk '$1 ~ /^[0-9]+$/ && /CONTENTS/ && /ALLOC/ && /LOAD/ && $3 !~ /^0+$/ {print $2, $3, $5}' <<<"$sections")
  [ -n "$parts" ] || refuse "empty image: no loadable data"
  lowest= highest= loaded=0
  while read -r sname ssize slma; do
    start=$((16#$slma)); end=$((start + 16#$ssize))
    loaded=$((loaded + 16#$ssize))
    if [ -z "$lowest" ] || [ "$start" -lt "$lowest" ]; then lowest=$start; fi
    if [ -z "$highest" ] || [ "$end" -gt "$highest" ]; then
      highest=$end; last_start=$start; last_section="$sname at $(hex "$start")"
    fi
  done <<<"$parts"
fi

if [ "$lowest" -lt "$BASE" ]; then
  refuse "data at $(hex "$lowest"), below 0x08004000: looks like a full-chip dump including the" \
         "boot loader (or an application linked for 0x08000000); the image must hold only" \
         "the application, linked for 0x08004000"
fi
size=$((highest - BASE))
padded=$(( (size + BLOCK - 1) / BLOCK * BLOCK ))
if [ $((BASE + padded)) -gt "$flash_end" ]; then
  hint=
  if [ "$last_start" -ge $((0x20000000)) ]; then
    hint="; ${last_section% at *} is loaded at a RAM address: give it a load address in flash"
    hint+=" (e.g. AT> FLASH in the linker script)"
  fi
  refuse "image runs past the flash end: its data ends at $(hex "$highest") ($last_section)," \
         "padded to whole $BLOCK-byte blocks at $(hex $((BASE + padded))), and the flash ends at" \
         "$(hex "$flash_end") ($((flash_end - BASE)) bytes above the boot loader)$hint"
fi

if [ "$format" = binary ]; then
  cp -- "$image" "$raw"
else
  # objcopy lays the parts out from the lowest one, filling between them.
  "$OBJCOPY" -I "$bfd" -O binary --gap-fill 0xff -- "$image" "$work/parts.bin" ||
    fail "objcopy could not convert $image"
  got=$(stat -c %s "$work/parts.bin")
  [ "$got" -eq $((highest - lowest)) ] ||
    fail "objcopy wrote $got bytes where the sections span $((highest - lowest))"
  # Below the lowest part, down to 0x08004000: erased flash as well.
  head -c $((lowest - BASE)) /dev/zero | tr '\000' '\377' > "$raw"
  cat "$work/parts.bin" >> "$raw"
fi
gap=$((size - loaded))
[ "$gap" -ge 0 ] || gap=0  # overlapping sections
if [ "$lowest" -gt "$BASE" ]; then
  say "filled $gap gap bytes with 0xFF (erased flash), $((lowest - BASE)) of them from" \
      "0x08004000 up to the first loaded part at $(hex "$lowest")"
elif [ "$gap" -gt 0 ]; then
  say "filled $gap gap bytes with 0xFF (erased flash) between the loaded parts"
else
  say "no gaps: no bytes filled"
fi
say "$name ($format): $size bytes from 0x08004000 to $(hex "$highest"), padded to $padded"

if [ "$vector_check" = 1 ]; then
  [ "$size" -ge 8 ] || refuse "$size bytes cannot hold a Cortex-M vector table (--no-vector-check to skip)"
  read -r sp reset < <(od -An -tu4 -N8 --endian=little -- "$raw")
  if [ "$sp" -lt $((0x20000000)) ] || [ "$sp" -gt $((0x3FFFFFFF)) ]; then
    refuse "initial stack pointer $(hex "$sp") lies outside SRAM (0x20000000-0x3FFFFFFF):" \
           "no Cortex-M vector table at 0x08004000 (--no-vector-check to skip)"
  fi
  target=$((reset & ~1))
  if [ "$target" -lt "$BASE" ]; then
    refuse "reset vector $(hex "$reset") lies below 0x08004000: linked for 0x08000000? the" \
           "application must be linked for 0x08004000"
  fi
  if [ $((reset & 1)) -eq 0 ]; then
    refuse "reset vector $(hex "$reset") is even: a Cortex-M runs Thumb code, bit 0 must be set"
  fi
  if [ "$target" -ge "$highest" ]; then
    refuse "reset vector $(hex "$reset") points past the image's end $(hex "$highest")"
  fi
  say "vector table: stack pointer $(hex "$sp"), reset $(hex "$reset")"
fi
# As the tool pads it: zeros up to whole blocks.
cp -- "$raw" "$work/padded.bin"
truncate -s "$padded" -- "$work/padded.bin"

# --- the builds -----------------------------------------------------------------
for tool in cmake g++ i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ python3 Xvfb xdotool git \
            sha256sum /usr/lib/wine/wine /usr/lib/wine/wine64; do
  command -v "$tool" >/dev/null || fail "$tool not found (see --help for what the kit needs)"
done
builds=${build_dir:-$work/build}
log=$work/build.log
step() {  # step WHAT COMMAND...: runs it with its output in the log
  say "$1"; shift
  if ! (cd "$ROOT" && "$@") >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    fail "$*"
  fi
}
step "building fwu.exe (win32 preset, i686) with the image embedded" \
  cmake --preset win32 -B "$builds/win32" -DFWU_WERROR=ON \
        -DFWU_FIRMWARE_IMAGE="$raw" -DFWU_FLASH_END="$(hex "$flash_end")"
step "  compiling" cmake --build "$builds/win32" --target fwu -j2
step "building fwu_probe.exe (win64 preset) to read the window" \
  cmake --preset win64 -B "$builds/win64" -DFWU_WERROR=ON
step "  compiling" cmake --build "$builds/win64" --target fwu_probe -j2
step "building fwu-devsim (native)" \
  cmake -S "$ROOT" -B "$builds/devsim" -DCMAKE_BUILD_TYPE=Release -DFWU_WERROR=ON \
        -DFWU_BUILD_TESTS=OFF -DFWU_BUILD_BENCH=OFF
step "  compiling" cmake --build "$builds/devsim" --target fwu-devsim -j2
# From here on this copy is the executable: the one proven is the one shipped.
cp -- "$builds/win32/fwu.exe" "$work/fwu.exe"

# --- the proof ------------------------------------------------------------------
say "proving fwu.exe under Wine against fwu-devsim (scripts/release_prove.py)"
PYTHONPATH="$ROOT/testkit${PYTHONPATH:+:$PYTHONPATH}" python3 "$ROOT/scripts/release_prove.py" \
  --exe "$work/fwu.exe" --probe "$builds/win64/fwu_probe.exe" \
  --devsim "$builds/devsim/tools/devsim/fwu-devsim" --image "$work/padded.bin" \
  --work "$work/prove" --result "$work/proof.json" ||
  fail "the proof failed: no release written"

# --- the release ----------------------------------------------------------------
version=$(git -C "$ROOT" describe --always --dirty 2>/dev/null || echo unknown)
cp -- "$work/fwu.exe" "$out/.fwu.exe.partial"
python3 - "$out/release.json" "$work/proof.json" "$name" "$format" "$size" "$padded" "$gap" \
  "$(hex "$flash_end")" "$vector_check" "$version" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" \
  "$(sha256sum < "$work/fwu.exe" | cut -d' ' -f1)" <<'EOF' || fail "could not write release.json"
import json, sys
(out, proof_path, name, fmt, size, padded, gap, flash_end, vector_check, version, date,
 exe_sha256) = sys.argv[1:]
proof = json.load(open(proof_path))
release = {
    "image": name,
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
    "proof": {"loader": proof["loader"], "status": proof["status"],
              "flash": "equal to the padded image"},
}
with open(out, "w") as f:
    json.dump(release, f, indent=2)
    f.write("\n")
EOF
{
  printf '%s  fwu.exe\n' "$(sha256sum < "$out/.fwu.exe.partial" | cut -d' ' -f1)"
  printf '%s  release.json\n' "$(sha256sum < "$out/release.json" | cut -d' ' -f1)"
} > "$out/SHA256SUMS"
mv -- "$out/.fwu.exe.partial" "$out/fwu.exe"
released=1
say "released $out/fwu.exe ($name, $padded bytes padded, $version): fwu.exe, SHA256SUMS, release.json"
