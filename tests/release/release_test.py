#!/usr/bin/env python3
"""Tests of the release kit (scripts/release.sh), of the build's flash
limit (FWU_FLASH_END), and of the image reader against objcopy.

  release_test.py refusals      images the kit must refuse, no Wine needed
  release_test.py guards        what the kit must never replace or delete, and
                                how it writes; no build needed
  release_test.py build-limit   the build fails on an image past the flash end
  release_test.py end-to-end    a HEX and an ELF image released and proven,
                                and a proof that must fail
  release_test.py reader-vs-objcopy FWU
                                `FWU image --raw-out` lays out linked ELF
                                files and their HEX and S-records (CR line
                                ends, 255-byte records too) exactly as
                                objcopy -O binary --gap-fill 0xff does, but
                                for a NOLOAD section inside a segment

The images are made here: small applications assembled and linked with the
ARM binutils (vector table, code, initialised data loaded from flash at a
gap), turned into HEX, S-records and raw binary with objcopy. Work goes to a
temporary directory, removed when the case passes (kept, and named, when it
fails).
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from fwu_testkit import winelab
from fwu_testkit.checks import Failed, crc16, expect, padded

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KIT = os.path.join(ROOT, "scripts", "release.sh")

APP = """
    .syntax unified
    .thumb
    .section .isr_vector, "a"
    .word 0x20010000
    .word reset_handler
    .text
    .thumb_func
reset_handler:
    .short 0xe7fe, 0xbf00
    .fill {words}, 4, 0xa5c3e1f0
    .data
    .word 0x11223344, 0x55667788
    .bss
    .space 16
"""
# FLASH origin, and where .data is loaded: in flash after a gap (AT(...)),
# or, by a linker script's mistake, at its RAM address; and what follows
# the vector table (a NOLOAD section, say).
LINK = """
MEMORY {{ FLASH (rx) : ORIGIN = {origin}, LENGTH = 1008K
         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 64K }}
SECTIONS {{
  .isr_vector : {{ KEEP(*(.isr_vector)) }} > FLASH
  {after_vectors}
  .text : {{ *(.text*) }} > FLASH
  .data : {data_at} {{ *(.data*) }} > RAM
  .bss : {{ *(.bss*) }} > RAM
}}
"""
GAP = 0x800 - 0x64C   # from the end of .text to .data's load address
EXPECTED = (struct.pack("<II", 0x20010000, 0x08004009) + struct.pack("<HH", 0xE7FE, 0xBF00)
            + struct.pack("<I", 0xA5C3E1F0) * 400 + b"\xff" * GAP
            + struct.pack("<II", 0x11223344, 0x55667788))


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def must(args, **kw):
    done = run(args, **kw)
    if done.returncode != 0:
        raise Failed(f"{' '.join(args)}: {done.stdout[-500:]}{done.stderr[-1500:]}")
    return done


def link_app(work, name, origin="0x08004000", data_at="AT(0x08004800)", words=400,
             after_vectors=""):
    """Assembles and links APP (words words of code); returns the ELF's path."""
    src, obj = os.path.join(work, f"app{words}.s"), os.path.join(work, f"app{words}.o")
    if not os.path.exists(obj):
        open(src, "w").write(APP.format(words=words))
        must(["arm-none-eabi-as", "-mcpu=cortex-m4", src, "-o", obj])
    script = os.path.join(work, name + ".ld")
    open(script, "w").write(LINK.format(origin=origin, data_at=data_at,
                                        after_vectors=after_vectors))
    elf = os.path.join(work, name + ".elf")
    must(["arm-none-eabi-ld", "-T", script, obj, "-o", elf])
    return elf


def convert(elf, out, fmt):
    must(["objcopy", "-I", "elf32-little", "-O", fmt, elf, out])
    return out


def release(image, out, *options, build_dir=None, env=None):
    args = [KIT, "--out", out, *options]
    if build_dir:
        args += ["--build-dir", build_dir]
    return run(args + [image], env=env)


def earlier_release(out, extra=()):
    """What an earlier run of the kit left in out: its exes, release.json and
    the SHA256SUMS naming them (and the extra files); returns
    {name: bytes} of everything in out."""
    os.makedirs(out, exist_ok=True)
    files = {"fwu.exe": b"MZ an earlier release", "fwu-cli.exe": b"MZ its console tool",
             "release.json": json.dumps({"image": "old.hex", "format": "ihex", "padded_size": 1024,
                                         "crc16_modbus": "0x1234", "fwu_exe_sha256": "0" * 64,
                                         "proof": {}}).encode()}
    for name, data in files.items():
        open(os.path.join(out, name), "wb").write(data)
    open(os.path.join(out, "SHA256SUMS"), "w").write(
        "".join(f"{hashlib.sha256(d).hexdigest()}  {n}\n" for n, d in files.items()))
    for name, data in extra:
        open(os.path.join(out, name), "wb").write(data)
    return contents(out)


def contents(out):
    """{name: bytes} of every file in out."""
    return {n: open(os.path.join(out, n), "rb").read() for n in sorted(os.listdir(out))}


def case_refusals(work):
    """Each refused image: exit 3, the reason, and the earlier release in DIR
    left as it was. One build directory for all."""
    app = link_app(work, "app")
    empty_hex = os.path.join(work, "empty.hex")
    open(empty_hex, "w").write(":00000001FF\n")
    cut_hex = os.path.join(work, "cut.hex")
    text = open(convert(app, os.path.join(work, "app.hex"), "ihex")).read()
    open(cut_hex, "w").write(text[:text.rindex(":")])  # no end-of-file record
    empty_bin = os.path.join(work, "empty.bin")
    open(empty_bin, "wb").close()
    at_0x08000000 = link_app(work, "at0", origin="0x08000000")
    cases = [
        ("full-chip dump", convert(at_0x08000000, os.path.join(work, "dump.hex"), "ihex"), [],
         "data at 0x08000000, below 0x08004000: looks like a full-chip dump including the boot loader"),
        ("wrong link address", convert(at_0x08000000, os.path.join(work, "at0.bin"), "binary"), [],
         "reset vector 0x08000009 lies below 0x08004000: linked for 0x08000000? "
         "the application must be linked for 0x08004000"),
        ("too large for the flash", convert(app, os.path.join(work, "app.srec"), "srec"),
         ["--flash-end", "0x08004800"], "image runs past the flash end"),
        ("data loaded at its RAM address", link_app(work, "ram", data_at=""), [],
         "program header 1 (the last data): image runs past the flash end: its data ends at "
         "0x20000008|the part from 0x20000000 is loaded at a RAM address"),
        ("HEX cut short", cut_hex, [],
         "cut.hex: read as Intel HEX (the first line is text starting ':'): no end-of-file record"),
        ("empty HEX", empty_hex, [], "empty image"),
        ("empty binary", empty_bin, [], "empty image"),
        ("HEX forced as S-records", os.path.join(work, "app.hex"), ["--format", "srec"],
         "app.hex: read as Motorola S-records (the format was forced): line 1"),
    ]
    out = os.path.join(work, "out")
    builds = os.path.join(work, "builds")
    earlier = earlier_release(out)
    for what, image, options, reason in cases:
        done = release(image, out, *options, build_dir=builds)
        expect(done.returncode == 3 and all(part in done.stderr for part in reason.split("|")),
               f"{what}: refused with {reason!r} (exit {done.returncode}: {done.stderr.strip()})")
        expect(contents(out) == earlier, f"{what}: the earlier release is left as it was")
    # Without the vector check the same image passes the checks and goes on:
    # where Wine's 32-bit loader runs, to the build of fwu.exe, which fails
    # here (a cmake that refuses the win32 preset); without it, to nothing,
    # the loader named. Exit 1 either way, the earlier release left.
    loader, why = winelab.find_machine_loader(winelab.WINE32, os.path.join(work, "loader"))
    fake = os.path.join(work, "fake-bin")
    os.makedirs(fake)
    open(os.path.join(fake, "cmake"), "w").write(
        f"#!/bin/sh\ncase \"$*\" in *win32*) exit 1 ;; esac\nexec {shutil.which('cmake')} \"$@\"\n")
    os.chmod(os.path.join(fake, "cmake"), 0o755)
    done = release(cases[1][1], out, "--no-vector-check", build_dir=builds,
                   env=dict(os.environ, PATH=fake + os.pathsep + os.environ["PATH"]))
    said = ("building fwu.exe" in done.stdout if loader else
            f"cannot prove fwu.exe here: {why}" in done.stderr and "building fwu.exe" not in done.stdout)
    expect(done.returncode == 1 and said and "lies below" not in done.stderr and contents(out) == earlier,
           "--no-vector-check lets it past the vector check; "
           + ("a failed build" if loader else f"no 32-bit loader ({why})") + " leaves the earlier release")


def case_guards(work):
    """The kit replaces only an earlier release, the files its SHA256SUMS
    names with their hashes, and only with a proven one: files of other
    forms by its names refuse the run and stay, as does everything else in
    DIR, and a refused image leaves the earlier release; the new files are
    written beside their names and renamed over them, leaving no temporary
    file; --out and --build-dir reached through a link into the tree's
    build/ are refused before anything is touched."""
    image = os.path.join(work, "not-a-file")  # refused before any build
    os.makedirs(image)
    kit_keys = json.dumps({"image": "app.hex", "format": "ihex", "padded_size": 1024,
                           "crc16_modbus": "0x1234", "fwu_exe_sha256": "0" * 64, "proof": {}})
    # (what, DIR's files before the run, the file named in the refusal)
    foreign = [
        ("a SHA256SUMS of other files", {"SHA256SUMS": b"0" * 64 + b"  my-notes.txt\n"}, "SHA256SUMS"),
        ("a hand-written release.json with the kit's keys", {"release.json": kit_keys.encode()},
         "release.json"),
        ("someone's own fwu.exe", {"fwu.exe": b"MZ someone's own build"}, "fwu.exe"),
        ("an earlier release's release.json edited since", None, "release.json"),
        ("an earlier release with its fwu-cli.exe gone", None, "SHA256SUMS"),
    ]
    for what, files, name in foreign:
        out = os.path.join(work, "out-" + what.replace(" ", "-").replace("'", ""))
        if files is None:
            earlier_release(out)
            if name == "release.json":
                open(os.path.join(out, name), "ab").write(b" ")
            else:
                os.remove(os.path.join(out, "fwu-cli.exe"))
        else:
            os.makedirs(out)
            for n, data in files.items():
                open(os.path.join(out, n), "wb").write(data)
        before = contents(out)
        done = release(image, out)
        expect(done.returncode == 2 and f"{out}/{name} is not" in done.stderr and contents(out) == before,
               f"{what} refuses the run (exit {done.returncode}) and DIR is left as it was")
    out = os.path.join(work, "out-earlier")
    earlier = earlier_release(out, extra=[("notes.txt", b"mine")])
    done = release(image, out)
    expect(done.returncode == 3 and contents(out) == earlier,
           "a refused image leaves the earlier release and the rest of DIR as they were")

    # The write itself (release_out.py, as the kit calls it after the proof).
    new = os.path.join(work, "new")
    os.makedirs(new)
    for n in ("fwu.exe", "fwu-cli.exe", "release.json", "SHA256SUMS"):
        open(os.path.join(new, n), "wb").write(b"new " + n.encode())
    helper = [sys.executable, os.path.join(ROOT, "scripts", "release_out.py")]
    state = os.path.join(work, "state.json")
    # (what, an earlier release there?, the file someone writes between check and write)
    for what, earlier_there, meddle in [("over an earlier release", True, None),
                                        ("into an empty DIR", False, None),
                                        ("a name taken during the run", False, "fwu-cli.exe"),
                                        ("an earlier file changed during the run", True, "fwu.exe")]:
        out = os.path.join(work, "write-" + what.replace(" ", "-"))
        os.makedirs(out)
        open(os.path.join(out, "notes.txt"), "wb").write(b"mine")
        earlier = earlier_release(out) if earlier_there else contents(out)
        must(helper + ["check", out, state])
        if meddle:
            open(os.path.join(out, meddle), "wb").write(b"meddled")
            earlier[meddle] = b"meddled"
        done = run(helper + ["write", out, state, new])
        want = earlier if meddle else dict(earlier, **contents(new))
        expect((done.returncode == 0) == (not meddle) and contents(out) == want,
               f"{what}: " + ("nothing replaced" if meddle else "written, notes.txt left")
               + ", no temporary file left")

    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    tree_build = tempfile.mkdtemp(prefix="release-guard.", dir=os.path.join(ROOT, "build"))
    try:
        earlier_release(tree_build)
        link = os.path.join(work, "link")
        os.symlink(tree_build, link)
        for option in ("--out", "--build-dir"):
            args = [KIT, option, link] + (["--out", os.path.join(work, "o")] if option != "--out" else [])
            done = run(args + [image])
            expect(done.returncode == 2 and "lies in the tree's build/" in done.stderr
                   and os.path.exists(os.path.join(tree_build, "fwu.exe")),
                   f"{option} through a link into build/ is refused, its files left")
    finally:
        shutil.rmtree(tree_build, ignore_errors=True)


def case_build_limit(work):
    """FWU_FLASH_END: an image that ends exactly at it builds, one byte more
    fails the embed step when the file grows, and the configure of a new
    build."""
    image = os.path.join(work, "image.bin")
    open(image, "wb").write(bytes(2048))
    build = os.path.join(work, "build")
    configure = ["cmake", "-S", ROOT, "-DFWU_BUILD_TESTS=OFF", "-DFWU_BUILD_BENCH=OFF",
                 f"-DFWU_FIRMWARE_IMAGE={image}", "-DFWU_FLASH_END=0x08004800"]
    must(configure + ["-B", build])
    must(["cmake", "--build", build, "--target", "fwu_image", "-j2"])
    expect(True, "an image padded to end exactly at FWU_FLASH_END builds")
    open(image, "ab").write(b"\x01")
    done = run(["cmake", "--build", build, "--target", "fwu_image", "-j2"])
    text = done.stdout + done.stderr
    expect(done.returncode != 0 and "does not fit the device's flash" in text
           and "would end at 0x8004c00, past FWU_FLASH_END 0x08004800" in text,
           "one byte more fails the embed step, saying where the image would end")
    done = run(configure + ["-B", os.path.join(work, "build2")])
    expect(done.returncode != 0 and "does not fit the device's flash" in done.stderr,
           "and fails the configure of a new build")


def check_release(out, done, image_path, fmt, image_bytes, builds):
    image_name = os.path.basename(image_path)
    if done.returncode != 0:
        raise Failed(f"{image_name}: not released (exit {done.returncode}): {done.stderr[-1500:]}")
    expect(f"filled {GAP} gap bytes with 0xFF" in done.stdout, f"{image_name}: says it filled {GAP} gap bytes")
    check = run(["sha256sum", "-c", "SHA256SUMS"], cwd=out)
    expect(check.returncode == 0 and "fwu.exe: OK" in check.stdout and "release.json: OK" in check.stdout,
           f"{image_name}: sha256sum -c SHA256SUMS passes in DIR ({check.stdout.strip()})")
    info = json.load(open(os.path.join(out, "release.json")))
    expect("fwu-cli.exe: OK" in check.stdout, f"{image_name}: fwu-cli.exe ships beside fwu.exe")
    # The version exactly as --version prints it (the native fwu of the same tree).
    version = must([os.path.join(builds, "native", "fwu"), "--version"]).stdout.split()[1]
    want = {"image": image_name, "image_sha256": hashlib.sha256(open(image_path, "rb").read()).hexdigest(),
            "format": fmt, "size": len(image_bytes),
            "padded_size": len(padded(image_bytes)),
            "crc16_modbus": f"{crc16(padded(image_bytes)):#06x}",
            "gap_fill": {"byte": "0xff", "bytes": GAP}, "tool_version": version,
            "fwu_cli_exe_sha256": hashlib.sha256(open(os.path.join(out, "fwu-cli.exe"), "rb").read()).hexdigest()}
    got = {key: info.get(key) for key in want}
    expect(got == want and info.get("build_date", "").endswith("Z")
           and info.get("proof", {}).get("status") == "Programming Completed",
           f"{image_name}: release.json {got}")


def case_end_to_end(work):
    """A HEX and an ELF image through the whole kit, sharing one build
    directory; then the prover must fail on a flash that is not the image."""
    loader, why = winelab.find_machine_loader(winelab.WINE32, work)
    if loader is None:  # a fact of this machine
        print(f"SKIP {why}")
        return winelab.skip_status(winelab.WINE32)
    elf = link_app(work, "app")
    hex_image = convert(elf, os.path.join(work, "app.hex"), "ihex")
    builds = os.path.join(work, "builds")
    for image, fmt in ((hex_image, "ihex"), (elf, "elf")):
        out = os.path.join(work, "out-" + fmt)
        if fmt == "ihex":  # replaces an earlier release, and only that
            earlier_release(out, extra=[("notes.txt", b"mine")])
        done = release(image, out, build_dir=builds)
        print(done.stdout, end="", flush=True)  # the kit's steps and the proof's checks
        check_release(out, done, image, fmt, EXPECTED, builds)
    expect(sorted(os.listdir(os.path.join(work, "out-ihex"))) ==
           ["SHA256SUMS", "fwu-cli.exe", "fwu.exe", "notes.txt", "release.json"],
           "the release over an earlier one replaced it and left notes.txt, no temporary file")

    wrong = bytearray(padded(EXPECTED))
    wrong[0x700] ^= 0xFF  # a byte the exe's image has 0xFF in
    wrong_path = os.path.join(work, "wrong.bin")
    open(wrong_path, "wb").write(wrong)
    done = run([sys.executable, os.path.join(ROOT, "scripts", "release_prove.py"),
                "--exe", os.path.join(work, "out-elf", "fwu.exe"),
                "--probe", os.path.join(builds, "win64", "fwu_probe.exe"),
                "--devsim", os.path.join(builds, "native", "tools", "devsim", "fwu-devsim"),
                "--image", wrong_path, "--work", os.path.join(work, "prove-wrong")])
    if done.returncode != 1 or "FAIL the simulator's flash holds the padded image" not in done.stdout:
        raise Failed(f"the proof did not fail on a flash that differs from the image "
                     f"(exit {done.returncode}): {done.stdout[-1500:]}")
    expect(True, "the proof fails when the device's flash differs from the image")


def ihex_255(elf, out):
    """Writes the image objcopy lays out from elf (under 48 KiB) as Intel HEX
    in data records of 255 bytes."""
    flat = out + ".bin"
    must(["objcopy", "-I", "elf32-little", "-O", "binary", "--gap-fill", "0xff", elf, flat])
    data = open(flat, "rb").read()

    def record(kind, offset, body):
        b = bytes([len(body), offset >> 8, offset & 0xFF, kind]) + body
        return ":" + (b + bytes([-sum(b) & 0xFF])).hex().upper() + "\n"

    open(out, "w").write(record(4, 0, b"\x08\x00") + "".join(
        record(0, 0x4000 + i, data[i:i + 255]) for i in range(0, len(data), 255))
        + record(1, 0, b""))
    return out


def case_reader_vs_objcopy(work, fwu):
    """Three linked applications (one small, one whose code crosses 64 KiB
    boundaries, each with .data loaded after a gap, and one with a NOLOAD
    section after its vector table), as ELF, Intel HEX, S-records and S3-only
    S-records, the small one also with CR line ends and 255-byte HEX
    records: the tool's layout of each is byte for byte objcopy's, but for
    the NOLOAD section inside the ELF's segment, which the tool writes as the
    segment's bytes (the linker's 0x00) and objcopy leaves a gap (0xFF)."""
    noload = ".reserved (NOLOAD) : { . = . + 256; } > FLASH"
    apps = [link_app(work, "small"),
            link_app(work, "large", data_at="AT(0x08030000)", words=40000),
            link_app(work, "noload", after_vectors=noload)]
    for elf in apps:
        stem = elf[:-4]
        inputs = [(elf, "elf32-little"), (convert(elf, stem + ".hex", "ihex"), "ihex"),
                  (convert(elf, stem + ".srec", "srec"), "srec")]
        s3 = stem + ".s37"
        must(["objcopy", "-I", "elf32-little", "-O", "srec", "--srec-forceS3", elf, s3])
        inputs.append((s3, "srec"))
        if elf == apps[0]:
            for path, bfd in inputs[1:3]:
                cr = stem + ".cr" + os.path.splitext(path)[1]
                open(cr, "wb").write(open(path, "rb").read().replace(b"\r\n", b"\n")
                                     .replace(b"\n", b"\r"))
                inputs.append((cr, bfd))
            inputs.append((ihex_255(elf, stem + ".255.hex"), "ihex"))
        for path, bfd in inputs:
            theirs, ours = path + ".objcopy.bin", path + ".fwu.bin"
            must(["objcopy", "-I", bfd, "-O", "binary", "--gap-fill", "0xff", path, theirs])
            must([fwu, "image", "--raw-out", ours, path])
            a, b = open(theirs, "rb").read(), open(ours, "rb").read()
            name = os.path.basename(path)
            if path.endswith("noload.elf"):
                differ = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
                expect(len(a) == len(b) and differ == list(range(8, 8 + 256))
                       and set(b[8:264]) == {0} and set(a[8:264]) == {0xFF},
                       f"{name}: objcopy's {len(a)} bytes but the NOLOAD section's 256 at "
                       f"0x08004008: 0x00 (the segment's) where objcopy has 0xFF")
                facts = json.loads(must([fwu, "image", "--json", path]).stdout)
                words = must([fwu, "image", path]).stdout
                expect(facts["noload"] == [{"address": "0x08004008", "size": 256,
                                            "section": ".reserved", "program_header": 0,
                                            "fill": "0x00"}] and facts["noload_more"] == 0
                       and "NOLOAD section .reserved from 0x08004008 to 0x08004108: 256 bytes "
                           "inside program header 0, written as 0x00" in words,
                       f"{name}: `image` names the NOLOAD range ({facts['noload']})")
                continue
            expect(a == b and len(a) > 0,
                   f"{name}: the same {len(b)} bytes as objcopy ({len(a)})")


CASES = {"refusals": case_refusals, "guards": case_guards, "build-limit": case_build_limit,
         "end-to-end": case_end_to_end, "reader-vs-objcopy": case_reader_vs_objcopy}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in CASES:
        sys.exit(f"usage: release_test.py {'|'.join(CASES)} [FWU]")
    work = tempfile.mkdtemp(prefix=f"fwu-release-test.{sys.argv[1]}.")
    try:
        code = CASES[sys.argv[1]](work, *sys.argv[2:]) or 0
    except Failed as e:
        print(f"FAIL {e}\n(work kept in {work})", flush=True)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
