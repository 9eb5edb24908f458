#!/usr/bin/env bash
# Installs the Debian packages (12 "bookworm" or 13 "trixie") that one job
# needs, if any is missing:
#
#   scripts/install-deps.sh demo   build the Windows tool and the simulator,
#                                  run fwu.exe under Wine on Xvfb, screenshot
#   scripts/install-deps.sh test   all of demo, plus what every preset and
#                                  test needs (the default)
#
# Recommended packages are not installed: each list names every package the
# job uses, including the font Wine draws the dialog with. Adds the i386
# architecture for wine32 (/usr/lib/wine/wine, the loader of the i686 release
# exe); wine64 runs the x86-64 build.
# When everything is present it changes nothing and runs no apt-get at all.
# Needs root (or sudo) only when something has to be installed.
set -euo pipefail

set_name=${1:-test}

demo=(
  g++ cmake make python3                          # native build: the simulator
  libgtest-dev                                    # the native preset's configure needs GoogleTest
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32   # the Windows builds; the win32 thread
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64     # model only (the default compiler)
  libcli11-dev nlohmann-json3-dev                 # header-only libraries of the command line
  wine64 wine32:i386                              # the tool under Wine, 64- and 32-bit
  qemu-user                                       # qemu-i386: Wine's 32-bit loader where the
                                                  # kernel runs no 32-bit programs
  fonts-dejavu-core                               # the dialog's text: with no font Wine shows no window
  xvfb xdotool                                    # a display of its own, real clicks
  imagemagick                                     # import: the screenshot
)
test=(
  tmux                                            # driving the terminal front-end
  binutils-arm-none-eabi                          # ARM test images: release kit, image reader
  clang libclang-rt-dev                           # fuzzing (libFuzzer, ASan, UBSan)
  llvm                                            # llvm-symbolizer for sanitizer reports, fuzz coverage
  qemu-system-x86                                 # the usbvm guest: the emulated FTDI adapter
  busybox-static udev                             # in the guest: its shell and tools; udevd and
                                                  # 60-serial.rules for /dev/serial/by-id
  go-md2man groff-base dpkg-dev                   # the man pages, their check, the package's Depends
  file procps x11-utils                           # not run by the suite: file, ps, xwininfo and
)                                                 # xprop, for looking into a failed test
# The guest's kernel is not installed here: installing it would build an
# initramfs for this machine. tests/usbvm/guest.py fetches the package with
# `apt-get download` into a cache under build/ and unpacks it there.

case $set_name in
  demo) packages=("${demo[@]}") ;;
  test) packages=("${demo[@]}" "${test[@]}") ;;
  *) echo "usage: $0 [demo|test]" >&2; exit 2 ;;
esac

add_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ $add_i386 -eq 0 ] && [ ${#missing[@]} -eq 0 ] && exit 0

echo "installing for $set_name: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if [ $add_i386 -eq 1 ]; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
# apt's own words go to a log of this run, shown when the install fails: a
# mirror in the middle of a sync can fail one index file while every package
# the job needs is still there, so a failed update is only a warning (its
# errors shown), and the install decides.
log=$(mktemp "${TMPDIR:-/tmp}/fwu-install-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
if ! "${sudo[@]}" apt-get update -q >>"$log" 2>&1; then
  echo "install-deps: warning: apt-get update failed for some index; trying the install anyway:" >&2
  grep '^E:' "$log" | sed 's/^/  /' >&2 || true
fi
install() { "${sudo[@]}" apt-get install -y -q --no-install-recommends "$@" >>"$log" 2>&1; }
install "${missing[@]}" && exit 0

# Something cannot be installed. Wine's 32-bit loader is the one package a
# mirror can lack while the rest is fine (its i386 index missing, or behind
# the amd64 one it must match): without it the 32-bit Wine path is not run,
# and the test command says so. Every other package is needed.
required=()
optional_absent=()
for p in "${missing[@]}"; do
  case $p in
    wine32:i386) optional_absent+=("$p") ;;
    *) required+=("$p") ;;
  esac
done
if [ ${#optional_absent[@]} -gt 0 ] && { [ ${#required[@]} -eq 0 ] || install "${required[@]}"; }; then
  echo "install-deps: warning: ${optional_absent[*]} cannot be installed here; the 32-bit Wine path (/usr/lib/wine/wine) will not run" >&2
  exit 0
fi
cat "$log" >&2
# Name the packages that cannot be had, one by one, rather than the index
# that failed.
absent=()
for p in "${required[@]}"; do
  "${sudo[@]}" apt-get install -s -q --no-install-recommends "$p" >/dev/null 2>&1 || absent+=("$p")
done
echo "install-deps: cannot install: ${absent[*]:-${required[*]}}" >&2
exit 1
