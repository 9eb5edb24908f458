"""The usbvm guest, built from this machine's Debian packages: Debian's stock
kernel with the USB modules the emulated FTDI adapter needs, busybox-static
for the shell and its tools, udevd with 60-serial.rules for
/dev/serial/by-id, and the native fwu with the libraries it loads. One
initramfs, no disk.

The kernel comes from the linux-image package that linux-image-amd64 names,
fetched with `apt-get download` and unpacked with `dpkg-deb` into a cache
(installing it would build an initramfs for this machine); only the kernel
image and drivers/usb are kept, and later runs reuse them. Its compressed
image is unpacked into a plain ELF that QEMU boots directly (PVH), which
saves the guest the decompression.
"""
import glob
import lzma
import os
import re
import shutil
import stat
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
KERNEL_META = "linux-image-amd64"
# The host controller QEMU's qemu-xhci needs and the FTDI driver; their
# dependencies come from the modules' own depends= fields.
WANTED_MODULES = ("xhci-pci", "ftdi_sio")
BUSYBOX = "/bin/busybox"
UDEVD = "/lib/systemd/systemd-udevd"
SERIAL_RULES = ("/usr/lib/udev/rules.d/60-serial.rules", "/lib/udev/rules.d/60-serial.rules")


class GuestError(Exception):
    """The guest cannot be built on this machine; the text says why."""


def _run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)


# -- the kernel ---------------------------------------------------------------

def _kernel_package():
    """The linux-image package linux-image-amd64 depends on, or None when
    apt does not know it."""
    try:
        out = _run(["apt-cache", "depends", KERNEL_META]).stdout
    except OSError:
        return None
    found = re.search(r"Depends:\s*(linux-image-\S+)", out)
    return found.group(1) if found else None


def _download(package, into):
    """apt-get download of package into the directory; once more after an
    `apt-get update` (as root) when the lists name a version the archive
    no longer has. Returns the .deb's path."""
    for attempt in (0, 1):
        result = _run(["apt-get", "download", "-q", package], cwd=into)
        debs = glob.glob(os.path.join(into, f"{package}_*.deb"))
        if result.returncode == 0 and debs:
            return debs[0]
        if attempt == 0 and os.geteuid() == 0:
            _run(["apt-get", "update", "-q"])
    raise GuestError(f"apt-get download {package} failed: {result.stdout.strip()[-300:]}")


def _unpack_elf(bzimage, out):
    """The kernel's ELF image from a bzImage's xz payload (Debian's kernels
    are xz-compressed and carry a PVH entry). False when it is not there."""
    with open(bzimage, "rb") as f:
        data = f.read()
    at = data.find(b"\xfd7zXZ\x00")
    if at < 0:
        return False
    try:
        elf = lzma.LZMADecompressor().decompress(data[at:])
    except lzma.LZMAError:
        return False
    if not elf.startswith(b"\x7fELF") or b"Xen\x00" not in elf:  # the PVH note's owner
        return False
    with open(out + ".part", "wb") as f:
        f.write(elf)
    os.replace(out + ".part", out)
    return True


def fetch_kernel(cache):
    """The cached kernel (the one linux-image-amd64 names now, fetched when
    missing; the cached one when apt cannot say). Returns (kernel image to
    boot, its drivers/usb directory, release)."""
    os.makedirs(cache, exist_ok=True)
    package = _kernel_package()
    cached = sorted(d for d in os.listdir(cache) if d.startswith("linux-image-")
                    and os.path.isdir(os.path.join(cache, d)))
    if package is None and not cached:
        raise GuestError(f"apt does not know {KERNEL_META} (run apt-get update)")
    name = package or cached[-1]
    root = os.path.join(cache, name)
    if not os.path.isdir(root):
        scratch = os.path.join(cache, "download")
        shutil.rmtree(scratch, ignore_errors=True)
        os.makedirs(scratch)
        deb = _download(name, scratch)
        unpacked = os.path.join(scratch, "root")
        os.makedirs(unpacked)
        tar = subprocess.run(f"dpkg-deb --fsys-tarfile '{deb}' | tar -x -C '{unpacked}' "
                             "--wildcards './boot/vmlinuz-*' '*/modules/*/kernel/drivers/usb/*'",
                             shell=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if tar.returncode != 0:
            raise GuestError(f"unpacking {deb} failed: {tar.stdout.strip()[-300:]}")
        os.replace(unpacked, root)
        shutil.rmtree(scratch, ignore_errors=True)
        for old in cached:  # one kernel is kept
            shutil.rmtree(os.path.join(cache, old), ignore_errors=True)
    images = glob.glob(os.path.join(root, "boot", "vmlinuz-*"))
    if not images:
        raise GuestError(f"no kernel image in {root}")
    release = os.path.basename(images[0])[len("vmlinuz-"):]
    elf = os.path.join(root, "vmlinux")
    if not os.path.exists(elf) and not _unpack_elf(images[0], elf):
        elf = None
    # /lib/modules, or /usr/lib/modules in a package laid out for a merged /usr
    usb = glob.glob(os.path.join(root, "*", "modules", release, "kernel", "drivers", "usb")) + \
        glob.glob(os.path.join(root, "*", "*", "modules", release, "kernel", "drivers", "usb"))
    if not usb:
        raise GuestError(f"no drivers/usb for {release} in {root}")
    return elf or images[0], usb[0], release


def _module_order(usb_dir):
    """The .ko files to load, each after the modules it depends on."""
    modules = {}
    for path in glob.glob(os.path.join(usb_dir, "**", "*.ko*"), recursive=True):
        name = os.path.basename(path).split(".ko")[0].replace("-", "_")
        modules[name] = path
    order = []

    def visit(name, chain):
        name = name.replace("-", "_")
        if name in order:
            return
        if name not in modules or name in chain:
            raise GuestError(f"kernel module {name} missing or in a cycle ({' > '.join(chain)})")
        for dep in _depends(modules[name]):
            visit(dep, chain + [name])
        order.append(name)

    for wanted in WANTED_MODULES:
        visit(wanted, [])
    return [(name, modules[name]) for name in order]


def _module_bytes(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        data = lzma.decompress(data)
    return data


def _depends(path):
    found = re.search(rb"(?:^|\x00)depends=([^\x00]*)\x00", _module_bytes(path))
    if found is None:
        raise GuestError(f"{path}: no depends= in its module info")
    return [d for d in found.group(1).decode().split(",") if d]


# -- the initramfs ------------------------------------------------------------

class Cpio:
    """An initramfs archive in the kernel's newc format."""

    def __init__(self, path):
        self.f = open(path, "wb")
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b""):
        name_bytes = name.encode() + b"\x00"
        fields = (self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name_bytes), 0)
        self.ino += 1
        self.f.write(b"070701" + b"".join(b"%08x" % v for v in fields))
        self.f.write(name_bytes + b"\x00" * (-(110 + len(name_bytes)) % 4))
        self.f.write(data + b"\x00" * (-len(data) % 4))

    def dir(self, name):
        name = name.strip("/")
        if not name or name in self.dirs:
            return
        self.dir(os.path.dirname(name))
        self.dirs.add(name)
        self._entry(name, stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o755):
        name = name.strip("/")
        self.dir(os.path.dirname(name))
        self._entry(name, stat.S_IFREG | mode, data)

    def copy(self, host_path, name=None):
        with open(host_path, "rb") as f:
            self.file(name or host_path, f.read(), stat.S_IMODE(os.stat(host_path).st_mode))

    def symlink(self, name, target):
        name = name.strip("/")
        self.dir(os.path.dirname(name))
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.f.close()


def _libraries(program):
    """The shared libraries program loads, as ldd names them (the dynamic
    loader included)."""
    out = _run(["ldd", program])
    if out.returncode != 0:
        raise GuestError(f"ldd {program}: {out.stdout.strip()}")
    libs = []
    for line in out.stdout.splitlines():
        found = re.search(r"(?:=>\s*)?(/\S+)\s+\(0x", line)
        if found:
            libs.append(found.group(1))
    return libs


def missing_tools():
    """What the guest needs from this machine and it lacks: a text, or None."""
    lacking = [p for p in (BUSYBOX, UDEVD) if not os.path.exists(p)]
    if not any(os.path.exists(p) for p in SERIAL_RULES):
        lacking.append("60-serial.rules")
    for tool in ("apt-get", "dpkg-deb", "ldd"):
        if shutil.which(tool) is None:
            lacking.append(tool)
    return f"missing {', '.join(lacking)} (scripts/install-deps.sh test)" if lacking else None


def build(fwu, cache, work):
    """Builds the guest for the fwu given. Returns (kernel, initramfs)."""
    kernel, usb_dir, release = fetch_kernel(cache)
    modules = _module_order(usb_dir)
    initrd = os.path.join(work, "initramfs.cpio")
    cpio = Cpio(initrd)
    for d in ("dev", "proc", "sys", "run", "tmp", "etc/udev/rules.d", "usr/bin", "bin"):
        cpio.dir(d)
    with open(os.path.join(HERE, "init.sh"), "rb") as f:
        cpio.file("init", f.read(), 0o755)
    cpio.copy(BUSYBOX)
    real_udevd = os.path.realpath(UDEVD)
    cpio.copy(real_udevd)
    if real_udevd != UDEVD:
        cpio.symlink(UDEVD, real_udevd)
        cpio.symlink("/bin/udevadm", real_udevd)
    rules = next(p for p in SERIAL_RULES if os.path.exists(p))
    cpio.copy(rules, "/usr/lib/udev/rules.d/60-serial.rules")
    cpio.copy(fwu, "/usr/bin/fwu")
    for lib in sorted(set(_libraries(fwu) + _libraries(real_udevd))):
        cpio.copy(os.path.realpath(lib), lib)
    for name, path in modules:
        cpio.file(f"/lib/modules/{name}.ko", _module_bytes(path), 0o644)
    cpio.file("/lib/modules/load-order", "".join(n + "\n" for n, _ in modules).encode(), 0o644)
    cpio.close()
    return kernel, initrd, release
