#!/usr/bin/env python3
"""Checks a built fwu.exe as Windows will see it: a GUI executable for the
expected processor that imports only DLLs every Windows installation has,
carrying the dialog "FWU" exactly as laid out, the asInvoker manifest and
the firmware image as RCDATA "BINFILE".

Usage: check_exe.py --arch i386|x86-64 --image FILE [--objdump TOOL] EXE
Prints one line per check; exits 1 on the first failure, 77 (skipped) when
EXE does not exist and FWU_REQUIRE_WINDOWS_BUILDS is not set.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

RT_DIALOG, RT_RCDATA, RT_MANIFEST = 5, 10, 24
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}

WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0x00C00000, 0x00080000
WS_CHILD, WS_VSCROLL, WS_TABSTOP, WS_GROUP = 0x40000000, 0x00200000, 0x00010000, 0x00020000
DS_MODALFRAME, DS_SETFONT, WS_EX_APPWINDOW = 0x80, 0x40, 0x40000
CBS_DROPDOWN, CBS_HASSTRINGS = 0x2, 0x200
BS_DEFPUSHBUTTON, ES_READONLY, ES_AUTOHSCROLL, SS_LEFT = 0x1, 0x800, 0x80, 0x0
BUTTON, EDIT, STATIC, COMBOBOX = 0x80, 0x81, 0x82, 0x85
CHILD = WS_CHILD | WS_VISIBLE

STATIC_4 = ("1) Completely UNPLUG the Device requiring update, so it is powered-down.\n\n"
            "2) Connect the Velkor to the PC but do not connect to the Device yet.\n\n"
            "3) Choose the COM port below corresponding to the Velkor.\n\n"
            '4) Press the ""Update Device"" button.\n\n')
STATIC_5 = ("5) Now plug the Velkor into the REMOTE port on the Device (powering it up).\n\n"
            "6) Programming should start automatically.\n\n"
            "7) After programming the unit should restart automatically.\n\n"
            "8) The procedure above can be retried if not successful.")
STATIC_6 = ("There should now be a flashing red LED on the Velkor provided the correct "
            "COM port was chosen.\n\n")

# (id, class, text, style, exstyle, x, y, cx, cy), in template order.
CONTROLS = [
    (3, COMBOBOX, "", CHILD | CBS_DROPDOWN | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP, 0,
     17, 68, 56, 123),
    (4, BUTTON, "Update Device", CHILD | BS_DEFPUSHBUTTON | WS_TABSTOP, 0, 81, 68, 100, 14),
    (5, EDIT, "", CHILD | ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, 0, 185, 71, 148, 12),
    (-1, STATIC, STATIC_4, CHILD | SS_LEFT | WS_GROUP, 0, 11, 7, 286, 56),
    (-1, STATIC, STATIC_5, CHILD | SS_LEFT | WS_GROUP, 0, 13, 111, 314, 88),
    (-1, STATIC, STATIC_6, CHILD | SS_LEFT | WS_GROUP, 0, 18, 87, 316, 14),
]


class Failure(Exception):
    pass


def check(ok, what):
    if not ok:
        raise Failure(what)
    print("ok   " + what)


class PE:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise Failure("not an MZ executable")
        (lfanew,) = struct.unpack_from("<I", data, 0x3C)
        if data[lfanew:lfanew + 4] != b"PE\0\0":
            raise Failure("no PE signature")
        coff = lfanew + 4
        self.machine, nsections = struct.unpack_from("<HH", data, coff)
        (opt_size,) = struct.unpack_from("<H", data, coff + 16)
        opt = coff + 20
        (self.magic,) = struct.unpack_from("<H", data, opt)
        (self.subsystem,) = struct.unpack_from("<H", data, opt + 68)
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(nsections):
            s = opt + opt_size + 40 * i
            vsize, vaddr, rsize, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((vaddr, max(vsize, rsize), raw))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raw
        raise Failure(f"RVA {rva:#x} lies in no section")

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        rva, _ = self.directories[1]
        names = []
        at = self.offset(rva)
        while True:
            desc = struct.unpack_from("<IIIII", self.data, at)
            if desc == (0, 0, 0, 0, 0):
                return names
            names.append(self.cstring(desc[3]))
            at += 20

    def resources(self):
        """{(type, name, language): bytes}; names are ints or upper-case str."""
        base_rva, _ = self.directories[2]
        base = self.offset(base_rva)
        out = {}

        def entries(at):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                key, value = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if key & 0x80000000:
                    s = base + (key & 0x7FFFFFFF)
                    (n,) = struct.unpack_from("<H", self.data, s)
                    key = self.data[s + 2:s + 2 + 2 * n].decode("utf-16-le")
                yield key, value

        for rtype, v1 in entries(base):
            for name, v2 in entries(base + (v1 & 0x7FFFFFFF)):
                for lang, v3 in entries(base + (v2 & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, base + v3)
                    at = self.offset(rva)
                    out[(rtype, name, lang)] = self.data[at:at + size]
        return out


def sz_or_ord(data, at):
    (first,) = struct.unpack_from("<H", data, at)
    if first == 0:
        return None, at + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0]:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def parse_dialogex(data):
    ver, sig, _help, exstyle, style, count, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data, 0)
    at = 26
    menu, at = sz_or_ord(data, at)
    wclass, at = sz_or_ord(data, at)
    title, at = sz_or_ord(data, at)
    point, weight, italic, charset = struct.unpack_from("<HHBB", data, at)
    face, at = sz_or_ord(data, at + 6)
    dialog = dict(version=(ver, sig), exstyle=exstyle, style=style, rect=(x, y, cx, cy),
                  menu=menu, wclass=wclass, title=title,
                  font=(point, weight, italic, charset, face), controls=[])
    for _ in range(count):
        at = (at + 3) & ~3
        _help, ex, st, x, y, cx, cy, cid = struct.unpack_from("<IIIhhhhi", data, at)
        at += 24
        cclass, at = sz_or_ord(data, at)
        text, at = sz_or_ord(data, at)
        (extra,) = struct.unpack_from("<H", data, at)
        at += 2 + extra
        dialog["controls"].append((cid, cclass, text or "", st, ex, x, y, cx, cy))
    return dialog


def check_manifest(xml):
    root = ET.fromstring(xml)
    tags = [e.tag.split("}")[-1] for e in root.iter()]
    check(tags == ["assembly", "trustInfo", "security", "requestedPrivileges",
                   "requestedExecutionLevel"],
          "manifest holds the execution level and nothing else")
    level = [e for e in root.iter() if e.tag.endswith("requestedExecutionLevel")][0]
    check(level.attrib == {"level": "asInvoker", "uiAccess": "false"},
          "manifest asks for asInvoker without UI access")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--arch", choices=["i386", "x86-64"], required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--objdump")
    ap.add_argument("exe")
    args = ap.parse_args()

    if not os.path.exists(args.exe):
        print(f"missing: {args.exe} (build the Windows presets first)")
        sys.exit(1 if os.environ.get("FWU_REQUIRE_WINDOWS_BUILDS") else 77)
    data = open(args.exe, "rb").read()
    pe = PE(data)
    want_machine, want_magic = (0x14C, 0x10B) if args.arch == "i386" else (0x8664, 0x20B)
    check(pe.machine == want_machine and pe.magic == want_magic,
          f"{args.exe} is {'PE32 i386' if args.arch == 'i386' else 'PE32+ x86-64'}")
    check(pe.subsystem == 2, "subsystem is Windows GUI")

    dlls = pe.imports()
    check(dlls and all(d.lower() in ALLOWED_DLLS for d in dlls),
          f"imports only system DLLs: {', '.join(dlls)}")
    check({"kernel32.dll", "user32.dll"} <= {d.lower() for d in dlls}, "imports KERNEL32 and USER32")
    if args.objdump and shutil.which(args.objdump):
        out = subprocess.run([args.objdump, "-p", args.exe], capture_output=True, text=True,
                             check=True).stdout
        listed = [l.split("DLL Name:")[1].strip() for l in out.splitlines() if "DLL Name:" in l]
        check(sorted(listed) == sorted(dlls), f"{args.objdump} lists the same DLLs")

    res = pe.resources()
    dialogs = {k: v for k, v in res.items() if k[0] == RT_DIALOG}
    check(list(dialogs) == [(RT_DIALOG, "FWU", 0x0809)],
          "one dialog, named FWU, English (United Kingdom)")
    d = parse_dialogex(dialogs[(RT_DIALOG, "FWU", 0x0809)])
    check(d["version"] == (1, 0xFFFF), "dialog is a DIALOGEX template")
    check(d["rect"] == (32, 32, 337, 210), "dialog at 32,32 size 337x210")
    check(d["style"] == WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
          f"dialog style {d['style']:#010x}")
    check(d["exstyle"] == WS_EX_APPWINDOW, f"dialog extended style {d['exstyle']:#x}")
    check(d["menu"] is None, "dialog has no menu")
    check(d["wclass"] == "fwu", f"dialog class field is lower-case fwu (found {d['wclass']!r})")
    check(d["title"] == "Device Firmware Update Tool", "dialog caption")
    check(d["font"] == (8, 0, 0, 0, "MS Sans Serif"), f"dialog font {d['font']}")
    check(len(d["controls"]) == len(CONTROLS), f"{len(CONTROLS)} controls")
    for i, (got, want) in enumerate(zip(d["controls"], CONTROLS), 1):
        check(got == want, f"control {i}: id {want[0]}, class {want[1]:#x}, style {want[3]:#010x}, "
                           f"rect {want[5:]}, text {want[2][:24]!r}..." if got == want
              else f"control {i}: expected {want!r}, found {got!r}")
    check('4) Press the ""Update Device"" button.' in d["controls"][3][2],
          'static 4 shows the doubled quotes: ""Update Device""')

    manifests = {k: v for k, v in res.items() if k[0] == RT_MANIFEST}
    check(len(manifests) == 1 and list(manifests)[0][1] == 1, "one manifest, id 1")
    check_manifest(list(manifests.values())[0])

    image = open(args.image, "rb").read()
    binfiles = [v for k, v in res.items() if k[0] == RT_RCDATA and k[1] == "BINFILE"]
    check(len(binfiles) == 1, "one RCDATA resource BINFILE")
    check(binfiles[0] == image, f"BINFILE holds {args.image} as it is ({len(image)} bytes)")


if __name__ == "__main__":
    try:
        main()
    except Failure as e:
        print(f"FAIL {e}")
        sys.exit(1)
