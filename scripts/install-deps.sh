#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is
# missing. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(
  g++ cmake make pkg-config libgtest-dev          # native build and unit tests
  g++-mingw-w64-i686 g++-mingw-w64-x86-64         # the Windows builds
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  binutils-arm-none-eabi                          # ARM test images for the release kit
  wine64 xvfb xdotool x11-utils imagemagick       # the real tool under Wine
  tmux                                            # driving the terminal front-end
  clang libclang-rt-14-dev                        # fuzzing and sanitizers
  llvm-14                                         # symbolized sanitizer reports, fuzz coverage
  file procps
  python3                                         # build and test helper scripts
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q "${missing[@]}"
