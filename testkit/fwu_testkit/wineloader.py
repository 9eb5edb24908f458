"""Which Wine loader runs a Windows executable on this machine: the 32-bit
one for an i386 PE file, the 64-bit one for x86-64, and where the kernel
runs no 32-bit programs (x86-64 without ia32 emulation: "Exec format
error"), the 32-bit one through qemu-i386, with the prefix's syswow64
filled from Wine's 32-bit builtins. winelab re-exports all of it."""
import collections
import glob
import os
import shutil
import stat
import struct
import subprocess

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
I386_WINDOWS = "/usr/lib/i386-linux-gnu/wine/i386-windows"  # Wine's 32-bit builtin DLLs
# The Debian package each loader comes from, and the name the tests give it.
PACKAGES = {WINE32: "wine32:i386", WINE64: "wine64"}
NAMES = {WINE32: "wine32", WINE64: "wine64"}


class WineError(Exception):
    pass


def loader_runs(loader, through=()):
    """(True, "") when this machine can run Wine's loader (through an
    emulator command, if given), else (False, why). A kernel without 32-bit
    support (or a hypervisor that withholds it) refuses the 32-bit loader
    with "Exec format error"."""
    command = [*through, loader, "--version"]
    try:
        done = subprocess.run(command, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120)
    except OSError as e:
        return False, f"{command[0]} cannot run on this machine: {e.strerror}"
    except subprocess.TimeoutExpired:
        return False, f"{' '.join(command)} did not answer"
    if done.returncode != 0:
        return False, f"{' '.join(command)} exited with code {done.returncode}"
    return True, ""


def loader_for(exe):
    """Wine's loader for a Windows executable: the 32-bit one for an i386
    PE file, the 64-bit one for x86-64."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    if len(head) < 0x40 or head[:2] != b"MZ":
        raise WineError(f"{exe} is not a Windows executable")
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if pe + 6 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        raise WineError(f"{exe} has no PE header")
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    loaders = {0x14C: WINE32, 0x8664: WINE64}
    if machine not in loaders:
        raise WineError(f"{exe}: machine {machine:#x} is neither i386 nor x86-64")
    return loaders[machine]


# How an executable is started here: command + [exe], with env added to the
# environment of every Wine process of its session (wine_env's extra).
# emulated: the 32-bit loader runs through qemu-i386, many times slower.
Loader = collections.namedtuple("Loader", "command env described emulated")


def find_loader(exe, workdir):
    """(Loader, "") for exe, or (None, why) when this machine cannot run it.

    Wine's loader for exe's machine (loader_for) where the kernel runs it.
    Otherwise, for the 32-bit loader, qemu-i386 (package qemu-user) runs it:
    a wrapper in workdir/loaders that Wine also uses for every 32-bit
    process it starts itself (WINELOADER names a wine64 link beside it, and
    Wine finds the other bitness's loader by adding or removing "64"), with
    Wine's own re-exec off (WINELOADERNOEXEC), since the kernel would refuse
    it, and the 32-bit builtins on WINEDLLPATH. The prefix needs its
    syswow64 filled (make_template does it)."""
    return find_machine_loader(loader_for(exe), workdir)


def find_machine_loader(native, workdir):
    """find_loader for Wine's loader native (WINE32 or WINE64) rather than an
    executable's: what the release kit checks before it builds."""
    if not os.path.exists(native):
        return None, f"{native} is not installed (package {PACKAGES[native]})"
    runs, why = loader_runs(native)
    if runs:
        return Loader([native], {}, native, False), ""
    if native != WINE32:
        return None, why
    qemu = shutil.which("qemu-i386")
    if qemu is None:
        return None, f"{why}, and qemu-i386 (package qemu-user) is not installed to run it"
    if not os.path.isdir(I386_WINDOWS):
        return None, f"{why}, and {I386_WINDOWS} is missing (package wine32:i386)"
    # Without WINELOADERNOEXEC: with it, --version would start a whole Wine
    # (in the default prefix).
    runs, qemu_why = loader_runs(WINE32, through=[qemu])
    if not runs:
        return None, f"{why}, and through qemu-i386: {qemu_why}"
    shims = os.path.join(os.path.abspath(workdir), "loaders")
    os.makedirs(shims, exist_ok=True)
    link = os.path.join(shims, "wine64")
    if not os.path.lexists(link):
        os.symlink(WINE64, link)
    wrapper = os.path.join(shims, "wine")
    with open(wrapper, "w") as f:
        f.write(f'#!/bin/sh\nWINELOADERNOEXEC=1 exec "{qemu}" "{WINE32}" "$@"\n')
    os.chmod(wrapper, os.stat(wrapper).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    # The 64-bit side looks for 32-bit builtins (the syswow64 rundll32 that
    # wineboot starts) here too.
    env = {"WINELOADER": link, "WINEDLLPATH": os.path.dirname(I386_WINDOWS)}
    return Loader([wrapper], env, f"{WINE32} through {qemu} ({why})", True), ""


def fill_syswow64(prefix):
    """A 32-bit process finds its system DLLs in syswow64. Where wineboot
    could not run its 32-bit half to fill it (no 32-bit programs here),
    links to Wine's 32-bit builtins stand in for the files it would have
    written; copies of the prefix (clone_prefix) keep them. Returns how
    many links it made."""
    wow = os.path.join(prefix, "drive_c", "windows", "syswow64")
    if os.path.exists(os.path.join(wow, "kernel32.dll")) or not os.path.isdir(I386_WINDOWS):
        return 0
    os.makedirs(wow, exist_ok=True)
    count = 0
    for path in glob.glob(os.path.join(I386_WINDOWS, "*")):
        target = os.path.join(wow, os.path.basename(path))
        if not os.path.lexists(target):
            os.symlink(path, target)
            count += 1
    return count


def loader_required(native):
    """Whether a machine that cannot run Wine's loader native fails a test
    rather than skipping it: FWU_REQUIRE_WINE_LOADERS names the loaders
    required ("wine64", "wine32,wine64"); any other value that is set (such
    as 1) requires both."""
    value = os.environ.get("FWU_REQUIRE_WINE_LOADERS", "").strip()
    names = {n.strip() for n in value.split(",") if n.strip()}
    if names and not names <= set(NAMES.values()):
        return True
    return NAMES[native] in names


def skip_status(native):
    """The exit status of a test that cannot run Wine's loader native here:
    77 (skipped), or 1 when loader_required says it must run."""
    return 1 if loader_required(native) else 77
