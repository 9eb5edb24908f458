#!/usr/bin/env python3
"""End-to-end tests of the command line, `fwu update` on Linux and
`fwu-cli.exe update` under Wine, against boot loader simulators: exit
statuses, the result lines, the JSON Lines and log files, and what each
simulated device received (its flash dump, its summary and request log).

  e2e.py --devsim D --image I --work DIR --exe fwu CASE                (native)
  e2e.py --devsim D --image I --work DIR --build wine64 --exe fwu-cli.exe \\
         --template PREFIX CASE

Under Wine the case runs in a private copy of the template prefix (the Wine
end-to-end tests' fixture) with COM1..COM3 mapped to the simulators' links,
with no display: the tool is a console program. Everything started is
stopped by its PID. Exit status 0 pass, 1 fail, 77 skipped: the Windows
build is missing (unless FWU_REQUIRE_WINDOWS_BUILDS is set) or this machine
cannot run the Wine loader it needs (unless FWU_REQUIRE_WINE_LOADERS requires
it: wineloader.loader_required).
"""
import argparse
import datetime
import fcntl
import hashlib
import json
import os
import pty
import re
import shutil
import signal
import stat
import struct
import sys
import termios
import time
import traceback

from fwu_testkit import process, winelab
from fwu_testkit.checks import Failed, app_pattern, crc16, expect, ihex, padded, pattern, wait_for
from fwu_testkit.devsim import REQUEST, Devsim

RUN_S = 300          # any one run of the tool, on a loaded machine, under Wine
LOST_WITHIN_S = 10   # a killed device ends as port-lost well before this
FIELDS = ("port", "result", "reset_confirmed", "image_size", "image_crc", "bytes", "blocks",
          "resends", "seconds")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\S+) (.*)$")



class Rig:
    """The tool under test, natively or under Wine, and its simulators, all
    in one work directory (the tool's current directory, so that file
    arguments are relative names either way)."""

    def __init__(self, args, workdir):
        self.args, self.dir = args, workdir
        self.wine = args.build != "native"
        self.program = "fwu-cli" if self.wine else "fwu"
        self.devsims, self.server, self.tool = [], None, None
        self.run_s = RUN_S
        if self.wine:
            # The i686 build runs through qemu-i386 where the kernel runs no
            # 32-bit programs: many times slower to start.
            self.loader, why = winelab.find_loader(args.exe, workdir)
            if self.loader is None:
                raise Failed(why)
            if self.loader.emulated:
                self.run_s = 3 * RUN_S
            self.prefix = os.path.join(workdir, "prefix")
            winelab.clone_prefix_ports(args.template, self.prefix, [self.link(n) for n in (1, 2, 3)])
            self.env = winelab.wine_env(self.prefix, None, self.loader.env)
            self.server = winelab.start_wineserver(self.prefix)

    def link(self, n):
        return os.path.join(self.dir, f"com{n}")

    def devsim(self, *options, dump=None):
        """The next simulator (-v, its dump and summary in the work
        directory); under Wine linked as the next COM port. Returns it with
        .port, the name to give the tool."""
        n = len(self.devsims) + 1
        options = ["-v", "--no-pace", "--seconds", "900", *options]
        sim = Devsim(self.args.devsim, self.dir, *options, name=f"devsim{n}",
                     dump=os.path.join(self.dir, dump or f"flash{n}.bin"),
                     summary=os.path.join(self.dir, f"summary{n}.json"),
                     link=self.link(n) if self.wine else None)
        sim.port = f"COM{n}" if self.wine else sim.path
        self.devsims.append(sim)
        return sim

    def start(self, *args, name="tool", stdout=None, file_kib=None):
        """Starts the tool with args; its standard output and error go to
        files (a Wine process may leave services holding a pipe), standard
        output to the file stdout instead when given (it then reads as "").
        With file_kib (native), no file it writes may grow past that size."""
        command = list(self.loader.command) if self.wine else []
        if file_kib:  # a write past the limit fails (EFBIG) rather than killing it
            command += ["bash", "-c", f"trap '' XFSZ; ulimit -f {file_kib}; exec \"$@\"", "-"]
        command += [self.args.exe, *args]
        self.out_name, self.err_name = f"{name}-out.txt", f"{name}-err.txt"
        with open(stdout or os.path.join(self.dir, self.out_name), "ab" if stdout else "wb") as out, \
             open(os.path.join(self.dir, self.err_name), "wb") as err:
            self.tool = process.start(command, cwd=self.dir, stdout=out, stderr=err,
                                      env=self.env if self.wine else None)

    def wait(self, timeout=None):
        """The tool's exit status, its standard output and error."""
        timeout = timeout or self.run_s
        process.reap(self.tool, timeout)
        if self.tool.returncode is None:
            process.stop(self.tool, sig=signal.SIGKILL)
            raise Failed(f"the tool did not end within {timeout} s")
        return self.tool.returncode, self.read(self.out_name), self.read(self.err_name)

    def run(self, *args, name="tool", timeout=None, **start_args):
        self.start(*args, name=name, **start_args)
        return self.wait(timeout)

    def read(self, name):
        if not os.path.exists(os.path.join(self.dir, name)):
            return ""
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()  # universal newlines: Windows' \r\n reads as \n

    def close(self):
        for sim in self.devsims:
            sim.stop()
        if self.tool is not None:
            process.stop(self.tool, sig=signal.SIGKILL)
        if self.server is not None:
            winelab.stop_wineserver(self.prefix, self.server)
            shutil.rmtree(self.prefix, ignore_errors=True)


def log_time(line):
    """The UTC time of a log line, in seconds since the epoch."""
    stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%dT%H:%M:%S.%f")
    return stamp.replace(tzinfo=datetime.timezone.utc).timestamp()


def results(rig, path, ports):
    """The JSON Lines file: one object per port, each with every field."""
    lines = [l for l in rig.read(path).splitlines() if l.strip()]
    objects = [json.loads(l) for l in lines]
    expect(len(objects) == len(ports) and sorted(o.get("port") for o in objects) == sorted(ports),
           f"{path}: one JSON object per device ({len(objects)} for {len(ports)})")
    missing = [(o["port"], f) for o in objects for f in FIELDS if f not in o]
    expect(not missing, f"{path}: every object has {', '.join(FIELDS)} (missing {missing})")
    return {o["port"]: o for o in objects}


def check_image_fields(result, image):
    expect(result["image_size"] == len(image)
           and result["image_crc"] == f"{crc16(padded(image)):#06x}",
           f"{result['port']}: image_size {len(image)} and the padded image's CRC")


def check_written(result, sim, image):
    """A done device: every block acknowledged and its flash the padded image."""
    full = padded(image)
    expect(result["bytes"] == len(full) and result["blocks"] == len(full) // 1024,
           f"{result['port']}: {len(full)} bytes in {len(full) // 1024} blocks reported")
    sim.stop()
    with open(sim.dump, "rb") as f:
        expect(f.read() == full, f"{sim.port}: the device's flash holds the padded image")


def flipped(data, at):
    """data with the byte at `at` inverted."""
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def write_image(rig, name, data):
    with open(os.path.join(rig.dir, name), "wb") as f:
        f.write(data)


# -- the cases ----------------------------------------------------------------

def case_several(rig):
    """A clean, a wrong-CRC and a dropped-ack device in one run."""
    image = app_pattern(5 * 1024 + 300, 7)
    write_image(rig, "image.bin", image)
    clean, wrong, dropped = rig.devsim(), rig.devsim("--wrong-crc", "1"), rig.devsim("--drop", "block:2")
    ports = [clean.port, wrong.port, dropped.port]
    code, out, err = rig.run("update", "--image", "image.bin", "--json", "results.jsonl",
                             "--log", "update.log", *ports)
    expect(code == 1, f"a wrong CRC among the devices exits with 1 (got {code})")
    got = results(rig, "results.jsonl", ports)
    for sim, result, confirmed in ((clean, "done", True), (wrong, "failed", False),
                                   (dropped, "done", True)):
        r = got[sim.port]
        expect(r["result"] == result and r["reset_confirmed"] is confirmed
               and isinstance(r["seconds"], (int, float)) and r["seconds"] >= 0,
               f"{sim.port}: {result}, reset_confirmed {confirmed}, seconds {r['seconds']}")
        check_image_fields(r, image)
    expect(got[dropped.port]["resends"] >= 1 and got[dropped.port]["seconds"] >= 5,
           f"{dropped.port}: the dropped ack's block was resent after 5 s")
    for sim in (clean, dropped):
        expect(sim.wait(60) == 0, f"{sim.port}: the simulator ended by its reset")
        check_written(got[sim.port], sim, image)
    wrong.stop()
    expect(wrong.summary()["requests"]["reset"] == 0 and "reset request" not in wrong.log(),
           f"{wrong.port}: the failed device got no reset request")

    lines = rig.read("update.log").splitlines()
    parsed = [LOG_LINE.match(l) for l in lines]
    expect(lines and all(parsed), "every log line starts with a UTC timestamp and the port")
    for sim, result in ((clean, "done"), (wrong, "failed"), (dropped, "done")):
        own = [m.group(2) for m in parsed if m.group(1) == sim.port]
        ends = [t for t in own if t.startswith("RESULT ")]
        expect(len(own) > 10 and len(ends) == 1 and ends[0].startswith(f"RESULT {result} ")
               and own[-1] == ends[0],
               f"{sim.port}: trace lines in the log, then one RESULT {result} line")
    expect(f"{rig.program}: {wrong.port}: failed: the device reported CRC" in err,
           "standard error gives the failed device's reason")
    expect(all(f"{p}: done in " in out for p in (clean.port, dropped.port))
           and f"{wrong.port}: done" not in out, "standard output has a line per done device")
    expect(out.rstrip().endswith(f"{rig.program}: 3 devices: 2 done, 1 failed"),
           "the summary line counts 2 done, 1 failed")


def case_unplugged(rig):
    """The device vanishes mid-update: port-lost, exit 3, at once."""
    image = app_pattern(64 * 1024, 3)
    write_image(rig, "image.bin", image)
    sim = rig.devsim("--flash-ms", "100")  # at least 6 s for the image
    rig.start("update", "--image", "image.bin", "--json", "results.jsonl", "--log", "update.log",
              sim.port)
    wait_for(lambda: sim.log().count("block request") >= 3 or rig.tool.poll() is not None,
             rig.run_s, "three blocks")
    expect(sim.running(), "the simulator still runs three blocks in")
    killed, killed_utc = time.monotonic(), time.time()
    sim.send_signal(signal.SIGKILL)
    code, out, err = rig.wait()
    took = time.monotonic() - killed
    expect(code == 3, f"a vanished device exits with 3 (got {code})")
    expect(took < LOST_WITHIN_S, f"the tool ended {took:.1f} s after the kill")
    r = results(rig, "results.jsonl", [sim.port])[sim.port]
    expect(r["result"] == "port-lost" and 2 <= r["blocks"] < 64,
           f"{sim.port}: port-lost after {r['blocks']} blocks")
    # Seen by a read or a write, not by waiting out timeouts. A tool kept
    # off the processor just after the kill may find the answer overdue
    # before its next read; the resend's write then finds the port gone. So
    # one TIMEOUT may come after the kill, never a second.
    late = [l for l in rig.read("update.log").splitlines()
            if l.endswith("TIMEOUT") and log_time(l) >= killed_utc - 0.001]
    expect(len(late) <= 1, f"no block timed out twice after the kill ({late[:2]})")
    expect(f"{rig.program}: {sim.port}: port-lost: the port went away" in err,
           "standard error says the port went away")


def case_silent_wait(rig):
    """A device that never answers, with --wait 2: timeout, exit 4."""
    # Silent for longer than the tool can take to start (a minute through
    # qemu-i386): only --wait ends this run.
    sim = rig.devsim("--silent-ms", "600000")
    code, out, err = rig.run("update", "--allow-sample", "--wait", "2", "--json", "-", sim.port)
    expect(code == 4, f"--wait passing exits with 4 (got {code})")
    r = results(rig, rig.out_name, [sim.port])[sim.port]
    expect(r["result"] == "timeout" and r["bytes"] == 0 and r["seconds"] >= 2,
           f"{sim.port}: timeout after --wait 2 s with nothing written")
    expect(f"{sim.port}: timeout: no answer from the device within --wait 2 s" in err,
           "standard error gives the reason (results in words go there with --json -)")
    sim.stop()
    expect(sim.summary()["blocks_programmed"] == 0, "nothing was programmed")


def case_reset_unacked(rig):
    """A verified device that never acknowledges the reset: done, exit 0.
    The embedded image, as no --image is given (the bundled sample needs
    --allow-sample)."""
    image = open(rig.args.image, "rb").read()
    sim = rig.devsim("--drop", "reset:all")
    code, out, err = rig.run("update", "--allow-sample", "--json", "results.jsonl", sim.port)
    expect(code == 0, f"an unacknowledged reset still exits with 0 (got {code})")
    r = results(rig, "results.jsonl", [sim.port])[sim.port]
    expect(r["result"] == "done" and r["reset_confirmed"] is False,
           f"{sim.port}: done, reset_confirmed false")
    check_image_fields(r, image)
    expect(f"{rig.program}: {sim.port}: note: the device did not acknowledge the reset within 2 s"
           in err,
           "standard error notes the unacknowledged reset")
    expect(f"{sim.port}: done in " in out and ", reset" not in out,
           "the done line does not claim a reset")
    check_written(r, sim, image)
    resets = sim.summary()["requests"]["reset"]
    expect(resets >= 2, f"the reset was sent again ({resets} requests)")


def case_bad_input(rig):
    """Bad input exits with 2 before any port is opened; --version, list."""
    sim = rig.devsim()
    write_image(rig, "empty.bin", b"")
    write_image(rig, "big.bin", app_pattern(4097, 1))  # 2 blocks past a 1-block flash
    write_image(rig, "cut.hex", ihex([(0x08004000, app_pattern(64, 1))]).rsplit(":", 1)[0].encode())
    good = ihex([(0x08004000, app_pattern(256, 1))]).encode()
    write_image(rig, "good.hex", good)
    os.link(os.path.join(rig.dir, "good.hex"), os.path.join(rig.dir, "hard.hex"))
    sample = os.path.samefile(rig.args.image, os.path.join(ROOT, "res", "firmware.bin"))
    runs = [("missing image", ["--image", "missing.bin", sim.port], "missing.bin: cannot be read"),
            ("empty image", ["--image", "empty.bin", sim.port],
             "empty.bin: read as raw binary (an empty file): empty image"),
            ("image past --flash-end", ["--image", "big.bin", "--flash-end", "0x08005000", sim.port],
             "image runs past the flash end"),
            ("a HEX file cut short", ["--image", "cut.hex", sim.port],
             "cut.hex: read as Intel HEX (the first line is text starting ':'): no end-of-file record"),
            ("an empty --image", ["--image", "", sim.port], "--image: an empty value"),
            ("unknown option", ["--bogus", sim.port], f"(see `{rig.program} update --help`)"),
            ("--wait nan", ["--wait", "nan", sim.port],
             '--wait: a number of seconds, 0 or more, or forever, not "nan"'),
            ("--wait=-1", ["--wait=-1", sim.port], '--wait: a number of seconds'),
            ("--timeout inf", ["--timeout", "inf", sim.port], "--timeout: a number of seconds"),
            ("usb: without a serial", ["usb:"], "usb: needs the adapter's serial number"),
            ("a 5000-character port", ["x" * 5000], "(5000 characters)"),
            ("no PORT", ["--image", "big.bin"], ""),
            ("HEX forced raw", ["--image", "good.hex", "--format", "bin", sim.port],
             "good.hex: read as raw binary (the format was forced): "),
            ("--format without --image", ["--allow-sample", "--format", "hex", sim.port],
             "--format hex is for --image FILE: the embedded image is raw binary"),
            ("--format intel", ["--image", "good.hex", "--format", "intel", sim.port],
             '--format: auto, bin, hex, srec or elf, not "intel"'),
            ("--json onto the image", ["--image", "good.hex", "--json", "good.hex", sim.port],
             "--json good.hex: refused: the same file as the image file (good.hex)"),
            ("--log onto a hard link of the image", ["--image", "good.hex", "--log", "hard.hex", sim.port],
             "--log hard.hex: refused: the same file as the image file (good.hex)"),
            ("--log a directory", ["--image", "good.hex", "--log", ".", sim.port],
             "--log .: refused: a directory")]
    if not rig.wine:
        os.mkfifo(os.path.join(rig.dir, "fifo"))
        os.symlink(sim.port, os.path.join(rig.dir, "same"))
        os.symlink("good.hex", os.path.join(rig.dir, "link.hex"))
        runs += [("--json FIFO", ["--allow-sample", "--json", "fifo", sim.port], "--json fifo: refused: a FIFO"),
                 ("--log a device", ["--allow-sample", "--log", "/dev/null", sim.port],
                  "--log /dev/null: refused: a device"),
                 ("--json onto a link to the image", ["--image", "good.hex", "--json", "link.hex", sim.port],
                  "--json link.hex: refused: the same file as the image file"),
                 ("--image FIFO", ["--image", "fifo", sim.port], "fifo"),
                 ("one port twice", ["--allow-sample", sim.port, "./same"], "are the same port")]
    if sample:
        runs.append(("the bundled sample", [sim.port], "this build carries the bundled sample image"))
    for i, (what, args, reason) in enumerate(runs):
        code, out, err = rig.run("update", *args, name=f"bad{i}")
        expect(code == 2 and err.strip() and reason in err and err.startswith(f"{rig.program}: ")
               and len(err) < 1000,
               f"{what}: exit 2 with {reason or 'a reason'} (got {code}: {err.strip()[:120]!r})")
    sim.stop()
    expect(sim.summary()["rx_bytes"] == 0 and sim.requests() == 0, "not a byte reached the device")
    expect(open(os.path.join(rig.dir, "good.hex"), "rb").read() == good, "the image is as it was")

    code, out, err = rig.run("--version", name="version")
    size = os.path.getsize(rig.args.image)
    expect(code == 0 and out.startswith(f"{rig.program} ") and f"embedded image: {size} bytes" in out
           and ("the bundled sample" in out) == sample,
           f"--version names the tool and the embedded image, and whether it is the sample "
           f"({out.splitlines()[:1]})")
    code, out, err = rig.run("list", "--json", name="list")
    ports = json.loads(out)
    expect(code == 0 and isinstance(ports, list) and all("path" in p for p in ports),
           f"list --json is a JSON array of ports ({len(ports)})")
    if rig.wine:
        expect("\\\\.\\COM1" in [p["path"] for p in ports], "it lists the mapped COM1")


TYPE_WORDS = re.compile(r"\b(TEXT|INT|UINT|FLOAT|BOOLEAN|REQUIRED|Positionals)\b")


def help_faults(text, width):
    """What is wrong with a help page at width: lines too long, the parser's
    type words, a table whose second column is not one column."""
    faults = [f"{len(l)} columns: {l!r}" for l in text.splitlines() if len(l) > width]
    faults += [f"type word {m.group(1)}" for m in TYPE_WORDS.finditer(text)]
    for block in text.split("\n\n"):
        starts = set()
        for line in block.splitlines():
            m = re.match(r"^(  \S.*?  +)\S", line) or re.match(r"^( {3,})\S", line)
            if m:
                starts.add(len(m.group(1)))
        if len(starts) > 1:
            faults.append(f"{block.splitlines()[0]!r}: the second column starts at {sorted(starts)}")
    return faults


def help_at_width(rig, args, columns):
    """The tool's standard output when it is a terminal of that many columns."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    tool = process.start([rig.args.exe, *args], stdout=slave, stderr=slave, cwd=rig.dir)
    os.close(slave)
    out = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the tool has ended and closed its side
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    process.reap(tool, rig.run_s)
    return out.decode(errors="replace").replace("\r\n", "\n")


def case_help(rig):
    """Every help page in one layout: at most 80 columns when standard output
    is not a terminal (the terminal's width when it is), no parser type
    words, a table's second column one column; `help X` prints `X --help`;
    a flag given twice is refused."""
    pages = [([], ["help"]), (["update"], ["help", "update"]), (["verify"], ["help", "verify"]),
             (["list"], ["help", "list"]), (["image"], ["help", "image"]), (["help"], ["help", "help"])]
    docs = os.path.join(os.path.dirname(rig.args.exe), "generated", "fwu_install_dirs.h")
    doc_dir = (re.search(r'FWU_DOC_DIR "(.*)"', open(docs).read()).group(1)
               if not rig.wine and os.path.exists(docs) else "")
    for i, (command, asked) in enumerate(pages):
        code, text, err = rig.run(*command, "--help", name=f"help{i}")
        code2, text2, _ = rig.run(*asked, name=f"asked{i}")
        what = " ".join(command) or "the program"
        expect(code == 0 and code2 == 0 and err == "" and text.strip() and text == text2,
               f"{what}: `{' '.join(asked)}` prints what --help prints ({code}, {code2})")
        faults = help_faults(text, 80)
        expect(not faults, f"{what}: fits 80 columns in one layout {faults[:3]}")
        if command in (["update"], ["verify"]):
            expect(("slot states" in text) == (command == ["update"])
                   and (f"installed as {doc_dir}/cli.md" in text) == bool(doc_dir)
                   and "/usr/share/doc/fwu" not in text.replace(doc_dir, ""),
                   f"{what}: names docs/cli.md and the doc dir installed to ({doc_dir or 'none'})")
    if not rig.wine:
        for columns, width in ((50, 50), (132, 100)):
            for command in ([], ["update"], ["verify"]):
                text = help_at_width(rig, [*command, "--help"], columns)
                faults = help_faults(text, width) + [f"ends {text[-30:]!r}"] * (text.count("\n") < 10)
                expect(not faults, f"{' '.join(command) or 'fwu'} --help on {columns} columns fits "
                                   f"{width} {faults[:3]}")
    for flags in (["-vv"], ["-q", "--quiet"]):
        code, out, err = rig.run("update", *flags, "--allow-sample", "COM9", name="twice")
        expect(code == 2 and "given 2 times" in err, f"{' '.join(flags)}: refused ({err.strip()!r})")


def case_hex(rig):
    """An Intel HEX image with a gap between its parts: the device's flash is
    the image laid out (the gap 0xFF); the run names the image first, in its
    JSON and in its log."""
    first, second = app_pattern(3000, 5), pattern(500, 9)
    layout = first + b"\xff" * (4096 - len(first)) + second
    text = ihex([(0x08004000, first), (0x08005000, second)]).encode()
    write_image(rig, "image.hex", text)
    sim = rig.devsim()
    code, out, err = rig.run("update", "--image", "image.hex", "--json", "results.jsonl",
                             "--log", "update.log", sim.port)
    expect(code == 0, f"the HEX image is written and verified (exit {code}: {err.strip()[-200:]!r})")
    sha = hashlib.sha256(text).hexdigest()
    crc = crc16(padded(layout))
    line = (f"{rig.program}: image image.hex: Intel HEX, {len(layout)} bytes from 0x08004000, "
            f"padded to {len(padded(layout))}, CRC-16 {crc:#06x}, SHA-256 {sha}")
    expect(out.splitlines()[0] == line, f"the first line names the image ({out.splitlines()[:1]})")
    r = results(rig, "results.jsonl", [sim.port])[sim.port]
    expect((r.get("image_name"), r.get("image_format"), r.get("image_sha256")) == ("image.hex", "ihex", sha),
           "the JSON object names the image, its format and its SHA-256")
    check_image_fields(r, layout)
    head = rig.read("update.log").splitlines()[0]
    expect(f" RUN {rig.program} " in head and
           f" IMAGE image.hex format=ihex size={len(layout)} " in head and sha in head,
           f"the log starts with the run and the image ({head[:80]!r})")
    check_written(r, sim, layout)

    # Forced raw (and so no vector table), the same file is its text.
    sim = rig.devsim()
    code, out, err = rig.run("update", "--image", "image.hex", "--format", "bin",
                             "--no-vector-check", "--json", "forced.jsonl", sim.port, name="forced")
    r = results(rig, "forced.jsonl", [sim.port])[sim.port]
    expect(code == 0 and r["image_format"] == "binary" and r["image_size"] == len(text),
           f"--format bin: the HEX file's text written as raw binary (exit {code})")
    check_written(r, sim, text)


def case_trust(rig):
    """Results a script can trust: a late answer is never taken for the
    reset's acknowledgement; records that cannot be written are said and
    give exit 5; with --json - standard output holds JSON Lines only; every
    object can be traced back."""
    image = app_pattern(3 * 1024, 11)
    write_image(rig, "image.bin", image)
    # The verify request is resent at 5 s and answered twice; no reset is
    # ever acknowledged. The first answer comes 0.6 s after the resend, not
    # 0.1 s: a tool kept from running across its 5 s would read it in time.
    sim = rig.devsim("--late", "verify:1", "--late-ms", "5600", "--drop", "reset:all")
    code, out, err = rig.run("update", "--image", "image.bin", "-v", "--json", "-", sim.port)
    lines = [l for l in out.splitlines() if l.strip()]
    objects = [json.loads(l) for l in lines]  # raises on anything but JSON
    expect(code == 0 and len(objects) == 1, f"one JSON line on standard output (exit {code})")
    r = objects[0]
    expect(r["result"] == "done" and r["reset_confirmed"] is False and r["resends"] >= 1,
           f"verified, and no reset claimed ({r['result']}, {r['reset_confirmed']}, "
           f"{r['resends']} resends)")
    expect("[" + sim.port + "]" in err, "the trace went to standard error")
    stamp = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
    expect(stamp.match(r["started_at"]) and stamp.match(r["ended_at"])
           and r["started_at"] <= r["ended_at"] and r["host"]
           and re.fullmatch(r"[0-9a-f]{32}", r["run_id"]) and "adapter" in r,
           f"started_at, ended_at, host, run_id and adapter ({r['started_at']}, {r['run_id']})")
    check_written(r, sim, image)

    if not rig.wine:
        # JSON Lines into a full standard output, a log past the file size limit.
        sim = rig.devsim()
        code, out, err = rig.run("update", "--image", "image.bin", "--json", "-",
                                 "--log", "update.log", sim.port, name="full",
                                 stdout="/dev/full", file_kib=1)
        expect(code == 5 and "--json - (standard output): cannot be written" in err
               and "--log update.log: cannot be written" in err,
               f"records that cannot be written are said, exit 5 (got {code}: {err[-160:]!r})")
        expect(sim.wait(60) == 0, "the update itself completed")
        with open(sim.dump, "rb") as f:
            expect(f.read() == padded(image), "and the flash is right")


def case_verify(rig):
    """--no-reset writes and verifies and sends no reset; verify writes
    nothing, sends no reset, and names the block that differs."""
    image = app_pattern(4 * 1024 + 100, 13)
    write_image(rig, "image.bin", image)
    sim = rig.devsim()
    code, out, err = rig.run("update", "--image", "image.bin", "--no-reset", "--json", "r1.jsonl",
                             sim.port, name="no-reset")
    r = results(rig, "r1.jsonl", [sim.port])[sim.port]
    expect(code == 0 and r["result"] == "done" and r["reset_confirmed"] is False
           and "not reset, as asked" in (r["note"] or ""),
           f"--no-reset: done, not reset (exit {code}, {r['note']!r})")
    code, out, err = rig.run("verify", "--image", "image.bin", "--json", "r2.jsonl", sim.port,
                             name="match")
    r = results(rig, "r2.jsonl", [sim.port])[sim.port]
    expect(code == 0 and r["result"] == "match" and r["differing_blocks"] == 0
           and f"{sim.port}: match in " in out, f"verify: match (exit {code})")
    sim.stop()
    summary = sim.summary()
    expect(summary["requests"]["reset"] == 0 and summary["blocks_programmed"] == 5,
           "no reset ever, and only the update's five blocks programmed")
    with open(sim.dump, "rb") as f:
        expect(f.read() == padded(image), "the flash holds the image")

    # Devices whose flash was programmed otherwise: (what, the bytes from
    # 0x08004000 on, the rest erased; the differing ranges).
    flashes = [("the padded image", padded(image), []),
               ("the image's own bytes, the rest erased", image, []),
               ("a byte changed in block 2", flipped(image, 2 * 1024 + 5), ["0x08004800-0x08004bff"]),
               ("a byte changed in the last block's image part", flipped(image, len(image) - 1),
                ["0x08005000-0x08005063"])]
    if rig.wine:  # COM2 and COM3 are left: the image's own bytes, and the last block
        flashes = flashes[1::2]
    sims = []
    for i, (what, data, ranges) in enumerate(flashes):
        write_image(rig, f"flash{i}.bin", data)
        sims.append(rig.devsim("--flash-from", os.path.join(rig.dir, f"flash{i}.bin")))
    ports = [s.port for s in sims]
    code, out, err = rig.run("verify", "--image", "image.bin", "--json", "r3.jsonl", *ports,
                             name="preloaded")
    got = results(rig, "r3.jsonl", ports)
    expect(code == 1 and "differing: 0x08005000-0x08005063" in err,
           f"a device that differs exits 1, its blocks named (got {code})")
    for sim, (what, data, ranges) in zip(sims, flashes):
        r = got[sim.port]
        expect(r["result"] == ("mismatch" if ranges else "match")
               and r["differing_ranges"] == ranges and r["differing_blocks"] == len(ranges),
               f"{what}: {r['result']}, differing {r.get('differing_ranges')}")
        sim.stop()
        summary = sim.summary()
        expect(summary["blocks_programmed"] == 0 and summary["requests"]["reset"] == 0,
               f"{what}: verify wrote nothing and sent no reset")


def listing(top):
    """{name: (kind, bytes of a plain file)} of what is in top, links not followed."""
    return {n: (stat.S_IFMT(os.lstat(os.path.join(top, n)).st_mode),
                open(os.path.join(top, n), "rb").read()
                if stat.S_ISREG(os.lstat(os.path.join(top, n)).st_mode) else None)
            for n in sorted(os.listdir(top))}


def case_outputs(rig):
    """`image --raw-out` writes a whole file beside its name and renames it
    over it, refusing (exit 2, nothing written, nothing removed) a directory,
    a FIFO, a device, a link, standard output and the image itself; a
    verdict that standard output could not take exits 5."""
    raw = app_pattern(2000, 3)
    write_image(rig, "app.hex", ihex([(0x08004000, raw)]).encode())
    os.mkdir(os.path.join(rig.dir, "empty-dir"))
    os.link(os.path.join(rig.dir, "app.hex"), os.path.join(rig.dir, "hard.hex"))
    rows = [("an empty directory", "empty-dir", "a directory"),
            ("the image itself", "app.hex", "the same file as the image file (app.hex)"),
            ("a hard link to the image", "hard.hex", "the same file as the image file (app.hex)"),
            ("standard output", "-", "standard output carries the words or the JSON")]
    if not rig.wine:
        os.mkfifo(os.path.join(rig.dir, "fifo"))
        os.symlink("app.hex", os.path.join(rig.dir, "link.hex"))
        rows += [("a FIFO", "fifo", "a FIFO"), ("a link to the image", "link.hex", "a symbolic link")]
        if os.geteuid() == 0:  # a device node of our own, as /dev/null is
            os.mknod(os.path.join(rig.dir, "node"), stat.S_IFCHR | 0o600, os.makedev(1, 3))
            rows.append(("a device node", "node", "a device"))
    code, out, err = rig.run("image", "app.hex", name="words")
    expect(code == 0 and "  read as Intel HEX (the first line is text starting ':')\n" in out,
           f"`image` says how the file was read (exit {code})")
    code, out, err = rig.run("image", "--json", "--format", "bin", "app.hex", name="forced")
    facts = json.loads(out)
    expect(code == 2 and facts["format"] == "binary" and facts["format_why"] == "the format was forced"
           and "read as raw binary (the format was forced): " in facts["reason"],
           f"--format bin: read as forced, refused as such (exit {code}, {facts['reason'][:80]!r})")
    before = listing(rig.dir)
    for i, (what, target, reason) in enumerate(rows):
        code, out, err = rig.run("image", "--raw-out", target, "app.hex", name=f"out{i}", timeout=120)
        expect(code == 2 and f"--raw-out {target}: refused: {reason}" in err,
               f"--raw-out onto {what}: refused, exit 2 (got {code}: {err.strip()[-160:]!r})")
        expect({n: v for n, v in listing(rig.dir).items() if not n.startswith("out")} == before,
               f"--raw-out onto {what}: nothing in the directory written or removed")
    write_image(rig, "raw.bin", b"an earlier file")
    code, out, err = rig.run("image", "--raw-out", "raw.bin", "app.hex", name="replace")
    left = [n for n in os.listdir(rig.dir) if n not in before and not n.startswith(("out", "replace"))]
    expect(code == 0 and open(os.path.join(rig.dir, "raw.bin"), "rb").read() == raw
           and left == ["raw.bin"],
           f"--raw-out over a file replaces it whole, no other file left (exit {code}, {left})")
    if not rig.wine:
        for i, args in enumerate([("image", "--json", "app.hex"), ("list", "--json"), ("--version",),
                                    ("--help",), ("help", "update")]):
            code, out, err = rig.run(*args, name=f"full{i}", stdout="/dev/full")
            expect(code == 5 and "standard output: cannot be written" in err,
                   f"{' '.join(args)} into a full standard output: exit 5 (got {code}: {err.strip()!r})")
        # A device's record at its longest: an image name whose every byte the JSON escapes.
        deep = os.path.join(*["\x01" * 200] * 4, "app.hex")
        os.makedirs(os.path.dirname(os.path.join(rig.dir, deep)))
        write_image(rig, deep, ihex([(0x08004000, raw)]).encode())
        code, out, err = rig.run("update", "--json", "long.json", "--image", deep,
                                 "usb:fwu-e2e-absent", name="long")
        records = [json.loads(l) for l in rig.read("long.json").splitlines() if l.strip()]
        expect(code == 3 and [r["image_name"] for r in records] == [deep],
               f"an escaped 800-byte image name: the device's record written whole (exit {code}, "
               f"{len(records)} records: {err.strip()[-160:]!r})")


def case_resend(rig):
    """Resends that follow the device: a lost acknowledgement is resent well
    within a second, a device that takes 25 ms a block has nothing resent,
    and one that erases for 1.5 s before its fifth block costs a few resends
    and ends right."""
    image = app_pattern(12 * 1024, 19)
    write_image(rig, "image.bin", image)
    lost, slow = rig.devsim("--drop", "block:5"), rig.devsim("--flash-ms", "25")
    erase = rig.devsim("--erase-ms", "1500", "--erase-block", "5")
    ports = [lost.port, slow.port, erase.port]
    code, out, err = rig.run("update", "--image", "image.bin", "--json", "results.jsonl", *ports)
    expect(code == 0, f"every device done (exit {code}: {err.strip()[-200:]!r})")
    got = results(rig, "results.jsonl", ports)
    r = got[lost.port]
    # The dialog's timeout alone is 5 s; the timer's about 0.2 s. Timed as
    # the device heard the block and its resend, not by the whole update,
    # whose start and other blocks a loaded machine stretches.
    blocks = [float(t) for t, kind in REQUEST.findall(lost.log()) if kind == "block"]
    gap = (blocks[5] - blocks[4]) / 1000 if len(blocks) > 5 else None
    expect(r["resends"] >= 1 and gap is not None and gap < 4,
           f"{lost.port}: the lost ack's block resent ({r['resends']}) well within the "
           f"dialog's 5 s ({gap} s after it was first heard)")
    expect(got[slow.port]["resends"] == 0,
           f"{slow.port}: nothing resent to a 25 ms/block device ({got[slow.port]['resends']})")
    expect(1 <= got[erase.port]["resends"] <= 4,
           f"{erase.port}: a few resends during the erase ({got[erase.port]['resends']})")
    for sim in (lost, slow, erase):
        expect(got[sim.port]["result"] == "done" and got[sim.port]["reset_confirmed"] is True,
               f"{sim.port}: done, reset confirmed")
        expect(sim.wait(60) == 0, f"{sim.port}: the simulator ended by its reset")
        check_written(got[sim.port], sim, image)


def case_stall(rig):
    """Answers only after their question, and a device that falls silent: a
    reset acknowledged before it was sent is cleared, never confirmed; a
    device mute after its second block is announced every 10 s and ends as
    stalled after --stall, exit 4."""
    image = app_pattern(6 * 1024, 29)
    write_image(rig, "image.bin", image)
    early = rig.devsim("--early-reset-ack", "verify:1", "--early-ack-ms", "2")
    mute = rig.devsim("--mute-after", "2")
    ports = [early.port, mute.port]
    code, out, err = rig.run("update", "--image", "image.bin", "--stall", "11", "--json",
                             "results.jsonl", *ports)
    expect(code == 4, f"a device that stopped answering exits with 4 (got {code})")
    got = results(rig, "results.jsonl", ports)
    r = got[early.port]
    expect(r["result"] == "done" and r["reset_confirmed"] is False and r["stale_bytes"] == 5,
           f"{early.port}: done, reset_confirmed false, the early ack's 5 bytes cleared "
           f"({r['reset_confirmed']}, {r['stale_bytes']})")
    r = got[mute.port]
    expect(r["result"] == "stalled" and r["blocks"] == 2
           and "stopped answering: no answer from the device for --stall 11 s" in r["error"],
           f"{mute.port}: stalled after 2 blocks ({r['result']}, {r['blocks']}, {r['error']!r})")
    line = f"{mute.port}: no answer from the device for 10 s; resending block 0x08004800"
    expect(err.count(line) == 1, f"standard error said so at 10 s ({line!r})")
    expect(f"{rig.program}: {mute.port}: stalled: stopped answering" in err,
           "and gives the reason at the end")


def case_bench(rig):
    """The production bench: two slots with three devices each. On one the
    operator swaps slowly; on the other the next device comes 0.3 s after the
    last left, and one is a unit that stays in its boot loader after its
    reset: every device is recorded once and flashed once, and each slot
    ends after --count 3. Then a device that arrives holding the image is
    recorded as current and not written."""
    image = app_pattern(3 * 1024, 17)
    write_image(rig, "image.bin", image)
    # Longer than the second a device must stay quiet to count as gone; and
    # far shorter, so that only the question tells the next device.
    a = rig.devsim("--devices", "3", "--swap-ms", "2000", dump="a%d.bin")
    b = rig.devsim("--devices", "3", "--swap-ms", "300", "--stays", "2", "--stay-ms", "1500",
                   dump="b%d.bin")
    code, out, err = rig.run("update", "--continuous", "--count", "3", "--image", "image.bin",
                             "--json", "bench.jsonl", a.port, b.port)
    objects = [json.loads(l) for l in rig.read("bench.jsonl").splitlines() if l.strip()]
    expect(code == 0 and len(objects) == 6, f"six records, exit 0 (got {len(objects)}, {code})")
    seen = sorted((o["slot"], o["sequence"], o["result"]) for o in objects)
    expect(seen == [(s, n, "done") for s in (1, 2) for n in (1, 2, 3)],
           f"every slot's devices 1 to 3, each done once ({seen})")
    expect(len({o["run_id"] for o in objects}) == 1, "one run_id ties them together")
    expect(all(f"{p} #{n}: done in " in out for p in (a.port, b.port) for n in (1, 2, 3)),
           "one line per device as it ended")
    for sim, name in ((a, "a"), (b, "b")):
        sim.stop()
        devices = sim.summary()["devices"]
        expect([d["blocks_programmed"] for d in devices] == [3, 3, 3],
               f"{sim.port}: each device programmed once ({[d['blocks_programmed'] for d in devices]})")
        for n in (1, 2, 3):
            with open(os.path.join(rig.dir, f"{name}{n}.bin"), "rb") as f:
                expect(f.read() == padded(image), f"{sim.port}: device {n}'s flash holds the image")
    expect(f"{b.port}: waiting for device #2 to be removed" in err,
           "standard error says which device the slot waits to see removed")

    write_image(rig, "padded.bin", padded(image))
    c = rig.devsim("--flash-from", os.path.join(rig.dir, "padded.bin"))
    code, out, err = rig.run("update", "--continuous", "--count", "1", "--image", "image.bin",
                             "--json", "current.jsonl", c.port, name="current")
    r = [json.loads(l) for l in rig.read("current.jsonl").splitlines() if l.strip()]
    expect(code == 0 and len(r) == 1 and r[0]["result"] == "current" and r[0]["bytes"] == 0
           and r[0]["device_crc"] == r[0]["image_crc"] and "already holds this image" in r[0]["note"],
           f"a device holding the image: current, nothing written, exit 0 ({code}, {r[:1]})")
    expect(f"{c.port} #1: current: " in out and "1 current" in out,
           "its line and the totals say current")
    c.stop()
    expect(c.summary()["blocks_programmed"] == 0 and c.summary()["requests"]["reset"] == 0,
           "it was neither written nor reset")


CASES = {
    "several": case_several,
    "unplugged": case_unplugged,
    "silent-wait": case_silent_wait,
    "reset-unacked": case_reset_unacked,
    "bad-input": case_bad_input,
    "hex": case_hex,
    "trust": case_trust,
    "verify": case_verify,
    "bench": case_bench,
    "outputs": case_outputs,
    "help": case_help,
    "resend": case_resend,
    "stall": case_stall,
}


# Cases the i686 build skips when it runs through qemu-i386 (a kernel
# without 32-bit programs); the x86-64 build, and the i686 one under the
# native 32-bit loader, run them all.
EMULATED_SKIPS = {
    "several": "qemu-i386 ends a 32-bit Wine process that runs several threads with a "
               "segmentation fault (the x86-64 build runs this case)",
    "bad-input": "it starts the tool ten times, a minute each through qemu-i386",
    "hex": "the x86-64 build runs it; through qemu-i386 it would add minutes",
    "trust": "the x86-64 build runs it; through qemu-i386 it would add minutes",
    "verify": "the x86-64 build runs it; through qemu-i386 it would add minutes",
    "outputs": "the x86-64 build runs it; through qemu-i386 it would add minutes",
    "bench": "qemu-i386 ends a 32-bit Wine process that runs several threads (the x86-64 build "
             "runs this case)",
    "help": "it starts the tool thirteen times; the x86-64 build runs it",
    "resend": "qemu-i386 ends a 32-bit Wine process that runs several threads (the x86-64 build "
              "runs this case)",
    "stall": "qemu-i386 ends a 32-bit Wine process that runs several threads (the x86-64 build "
             "runs this case)",
}


def skip_reason(args):
    """Why this case cannot run here, or None."""
    if not os.path.exists(args.exe):
        return f"missing: {args.exe} (build the win32, win64 and native presets first)"
    if args.build != "native":
        os.makedirs(args.work, exist_ok=True)
        loader, why = winelab.find_loader(args.exe, args.work)
        if loader is None:
            return why
        if loader.emulated and args.case in EMULATED_SKIPS:
            return f"emulated: {EMULATED_SKIPS[args.case]}"
    return None


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True, help="fwu, or fwu-cli.exe under Wine")
    ap.add_argument("--build", default="native", choices=["native", "wine32", "wine64"])
    ap.add_argument("--template", help="the Wine prefix to copy (Wine builds)")
    ap.add_argument("--devsim", required=True)
    ap.add_argument("--image", required=True, help="the image the tool embeds")
    ap.add_argument("--work", required=True)
    ap.add_argument("case", choices=list(CASES))
    args = ap.parse_args()
    for name in ("exe", "template", "devsim", "image", "work"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    if args.build != "native" and not args.template:
        ap.error("a Wine build needs --template")
    why = skip_reason(args)
    if why:
        print(f"SKIP {why}")
        if why.startswith("emulated"):
            return 77
        if not why.startswith("missing"):
            return winelab.skip_status(winelab.loader_for(args.exe))
        if args.build == "native":
            return 1  # built with the tests: a missing one is a broken build
        return 1 if os.environ.get("FWU_REQUIRE_WINDOWS_BUILDS") else 77
    workdir = os.path.join(args.work, args.build, args.case)
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    rig = None
    try:
        rig = Rig(args, workdir)
        CASES[args.case](rig)
    except Exception as e:  # noqa: BLE001 - any failure is reported with the logs
        print(f"FAIL {e}")
        if not isinstance(e, (Failed, winelab.WineError)):
            traceback.print_exc()
        for name in sorted(os.listdir(workdir)):
            if name.endswith(".txt") or name.endswith(".log") or name.endswith(".jsonl"):
                text = open(os.path.join(workdir, name), errors="replace").read()
                print(f"--- {name} (last lines)")
                print("\n".join(text.splitlines()[-12:]))
        return 1
    finally:
        if rig is not None:
            rig.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
