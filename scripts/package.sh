#!/usr/bin/env bash
# Builds the Debian package of the Linux tools from the release preset:
# build/release/fwu_<version>_amd64.deb, holding what `cmake --install`
# puts under /usr (fwu, fwu-devsim, their man pages and bash completion, the
# udev rule, the users' docs) and a postinst that has a running udev reload
# its rules, with its Depends computed from the binaries by dpkg-shlibdeps.
# Needs g++, cmake, go-md2man, dpkg-dev (installed by scripts/install-deps.sh
# test).
#   scripts/package.sh            build, then the package; prints its path
set -euo pipefail
cd "$(dirname "$0")/.."

# The tool's version (cmake/version.cmake: 1.2.0, 1.2.0-3-gabc1234 after the
# tag v1.2.0, 0.1.0-gabc1234 with no tag, each perhaps with -dirty) as a
# Debian version that sorts as the builds do: 1.2.0, 1.2.0+3.gabc1234,
# 0.1.0~57.gabc1234 before any tag (57 commits up to it, so that a later
# commit's package is an upgrade and not a downgrade; before a release
# 0.1.0), 1.2.0~rc1 for a tag v1.2.0-rc1, and dirty at the end of an
# uncommitted tree's (1.2.0+0.dirty, 1.2.0+3.gabc1234.dirty,
# 0.1.0~57.gabc1234+dirty). $2 is the commit count, when known.
deb_version() {
    local text=$1 count=${2:-} base rest= dirty=
    if [[ $text == *-dirty ]]; then
        dirty=dirty
        text=${text%-dirty}
    fi
    if [[ $text =~ ^(.+)-([0-9]+)-g([0-9a-f]+)$ ]]; then
        base=${BASH_REMATCH[1]}
        rest="+${BASH_REMATCH[2]}.g${BASH_REMATCH[3]}"
    elif [[ $text =~ ^(.+)-g([0-9a-f]+)$ ]]; then
        base=${BASH_REMATCH[1]}
        rest="~${count:+$count.}g${BASH_REMATCH[2]}"
    else
        base=$text
    fi
    base=${base//-/\~}
    if [ -n "$dirty" ]; then
        # On a tag: +0.dirty, before the next commit's +1.g...
        case $rest in
            +*) rest+=".dirty" ;;
            '') rest="+0.dirty" ;;
            *) rest+="+dirty" ;;
        esac
    fi
    local version=$base$rest
    if ! [[ $version =~ ^[0-9][A-Za-z0-9.+~]*$ ]]; then
        echo "package.sh: version '$1' gives no valid Debian version ('$version')" >&2
        return 1
    fi
    printf '%s\n' "$version"
}

build=build/release
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset release -DCMAKE_INSTALL_PREFIX=/usr -DFWU_WERROR=ON > /dev/null
cmake --build --preset release -j "$jobs" > /dev/null

tool_version=$(sed -n 's/^#define FWU_VERSION "\(.*\)"$/\1/p' "$build/generated/fwu_version.h")
count=
if [[ $tool_version =~ ^[^-]+-g([0-9a-f]+)(-dirty)?$ ]]; then
    count=$(git rev-list --count "${BASH_REMATCH[1]}" 2>/dev/null || true)
fi
deb_version=$(deb_version "$tool_version" "$count")
arch=$(dpkg --print-architecture)

stage=$build/package/root
rm -rf "$build/package"
mkdir -p "$stage"
DESTDIR="$PWD/$stage" cmake --install "$build" > /dev/null
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
  "$stage/usr/bin/fwu" "$stage/usr/bin/fwu-devsim"

doc=$stage/usr/share/doc/fwu
cat > "$doc/copyright" <<'EOF'
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: fwu
Comment: The device firmware update tool and its boot loader simulator.

Files: *
Copyright: 2026 the fwu developers
License: all-rights-reserved
 All rights reserved by the fwu developers; no licence is granted beyond
 the use of the tool by those it was given to.
EOF
date_rfc=$(date -R -u -d "@$(git log -1 --format=%ct 2> /dev/null || date +%s)")
{
  printf 'fwu (%s) unstable; urgency=medium\n\n' "$deb_version"
  printf '  * Built from %s.\n\n' "$tool_version"
  printf ' -- fwu developers <fwu-developers@example.org>  %s\n' "$date_rfc"
} | gzip -9n > "$doc/changelog.gz"

# Depends, from what the binaries link (dpkg-shlibdeps reads a control file).
shlibs_dir=$build/package/shlibs
mkdir -p "$shlibs_dir/debian"
printf 'Source: fwu\n\nPackage: fwu\nArchitecture: any\n' > "$shlibs_dir/debian/control"
depends=$(cd "$shlibs_dir" &&
  dpkg-shlibdeps -O -e"$PWD/../root/usr/bin/fwu" -e"$PWD/../root/usr/bin/fwu-devsim" 2> /dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

mkdir -p "$stage/DEBIAN"
installed_kb=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat > "$stage/DEBIAN/control" <<EOF
Package: fwu
Version: $deb_version
Architecture: $arch
Maintainer: fwu developers <fwu-developers@example.org>
Installed-Size: $installed_kb
Depends: $depends
Section: electronics
Priority: optional
Description: device firmware update tool over a serial boot loader
 fwu writes a firmware image into a device's boot loader over a USB serial
 adapter at 115200 baud 8E1, verifies it by CRC-16 and resets the device:
 the operator's screen on a terminal, and a command line for scripts and
 production benches with many adapters (update, verify, list, image).
 fwu-devsim is a simulated boot loader behind a pseudo-terminal.
EOF
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) > "$stage/DEBIAN/md5sums"
# The udev rule acts on an adapter's "add": udev takes it up once it has
# reloaded its rules, and the trigger replays "add" for the adapters plugged
# in already (the rule matches their usb-serial devices). Only where udev is
# running (its control socket is there: not in a chroot or a container
# without it), and never failing the install; the README says to replug the
# adapter once should it still be slow.
cat > "$stage/DEBIAN/postinst" <<'EOF'
#!/bin/sh
set -e
if [ "$1" = configure ] && [ -S /run/udev/control ] && command -v udevadm > /dev/null 2>&1; then
    udevadm control --reload-rules || true
    udevadm trigger --subsystem-match=usb-serial --action=add || true
fi
exit 0
EOF
chmod 755 "$stage/DEBIAN/postinst"

deb=$build/fwu_${deb_version}_${arch}.deb
rm -f "$build"/fwu_*.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" > /dev/null
echo "$deb"
