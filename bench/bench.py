#!/usr/bin/env python3
"""fwu-bench: how close a whole update comes to the speed of the wire, and
what it costs the machine.

Each row updates fwu-devsim, its line paced at 115200 8E1 (11 bits a
byte), through a tool runner, each in a child process of its own so that
its CPU time and peak memory are the tool's alone: "engine" is the native
engine and the POSIX serial link at the terminal screen's cadence
(fwu-bench-tool, stepped through the front ends' session code), "cli" is the
command line, `fwu update`, with one simulator per port and 1, 2, 4, 8...
ports at once. The simulator's summary gives the bytes on the line each
way, hence the wire time no tool could beat, and its request log (-v) the
device's view of the update: first probe heard to last reset heard. With
--wine the same update runs once more through fwu.exe under Wine, compared
with the native tools by that device view. Prints Markdown tables.

This is a measurement, not a test: nothing here passes or fails on time.
"""
import argparse
import collections
import os
import platform
import shutil
import signal
import sys
import time

from fwu_testkit import process, winelab
from fwu_testkit.checks import padded, pattern
from fwu_testkit.devsim import REQUEST, Devsim

from bench_report import (
    APP_FLASH_BYTES, Device, LINE_BAUD, LINE_BITS_PER_BYTE, MAX_FLASH_MS, Row, View, WineResult,
    print_device_view, print_side_by_side, print_tables, print_wine, tool_name, wire_ms)
from bench_runners import RUNNERS, failed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build", "native")

MAX_DEVICES = 32                  # the ports one fwu update takes


# -- images ---------------------------------------------------------------------

# only_one: an image added for the Wine comparison alone, updated on one
# device at a time.
Image = collections.namedtuple("Image", "label path embedded raw only_one")


def embedded_image_path():
    """The image the native build embeds (its FWU_FIRMWARE_IMAGE)."""
    try:
        with open(os.path.join(NATIVE, "CMakeCache.txt"), errors="replace") as f:
            for line in f:
                if line.startswith("FWU_FIRMWARE_IMAGE:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return os.path.join(ROOT, "res", "firmware.bin")


def size_label(size):
    return f"{size // 1024} KiB" if size % 1024 == 0 else f"{size} B"


def make_images(args, work):
    """The rows' images: the pattern sizes, the files given, the embedded one."""
    images = []
    for size in args.sizes:
        path = os.path.join(work, f"pattern-{size}.bin")
        raw = pattern(size, size)
        with open(path, "wb") as f:
            f.write(raw)
        label = size_label(size) + (" (all the flash)" if size == APP_FLASH_BYTES else "")
        images.append(Image(label, path, False, raw, False))
    for path in args.image:
        with open(path, "rb") as f:
            raw = f.read()
        images.append(Image(f"{os.path.basename(path)} ({len(raw)} B)", os.path.abspath(path),
                            False, raw, False))
    if args.embedded:
        path = args.embedded_image
        with open(path, "rb") as f:
            raw = f.read()
        shown = os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path
        images.append(Image(f"{shown} (embedded, {len(raw)} B)", path, True, raw,
                            args.wine and not args.embedded_asked))
    for image in images:
        if not 1 <= len(image.raw) <= APP_FLASH_BYTES:
            sys.exit(f"fwu-bench: {image.label}: an image has 1 to {APP_FLASH_BYTES} bytes")
    return images


# -- rows -----------------------------------------------------------------------

def device_view(log_text):
    heard = [(float(t), kind) for t, kind in REQUEST.findall(log_text)]
    probes = [t for t, kind in heard if kind == "probe"]
    blocks = [t for t, kind in heard if kind == "block"]
    resets = [t for t, kind in heard if kind == "reset"]
    first_probe = probes[0] if probes else None
    last_reset = resets[-1] if resets else None
    span = (last_reset - first_probe if first_probe is not None and last_reset is not None
            and last_reset >= first_probe else None)
    link = blocks[0] - first_probe if blocks and first_probe is not None else None
    tail = last_reset - blocks[-1] if blocks and last_reset is not None else None
    gaps = [b - a for a, b in zip(blocks, blocks[1:])]
    return View(span, link, gaps, tail)


def run_row(args, key, devices, image, flash_ms, work):
    """One update of image on `devices` devices through runner key: fresh
    simulators, the runner, then what each device saw. The row's problem
    is "" when all went right."""
    runner = RUNNERS[key]
    os.makedirs(work)
    sims, seen = [], []
    try:
        for i in range(devices):
            sims.append(Devsim(args.devsim, work, "--flash-ms", str(flash_ms), "-v",
                               "--seconds", str(args.limit_s + 60), name=f"devsim{i}",
                               dump=os.path.join(work, f"flash{i}.bin"),
                               summary=os.path.join(work, f"summary{i}.json")))
        tool = runner.run(args, [s.path for s in sims], image, work)
        problem = tool.problem
        expected = padded(image.raw)
        for sim in sims:
            if sim.wait(20) is None:  # it ends by itself once its reset ack was read
                problem = problem or "fwu-devsim did not end after the update"
            sim.stop()
            with open(sim.dump, "rb") as f:
                flash_ok = f.read() == expected
            seen.append(Device(sim.summary(), sim.device_span_ms(),
                               process.cpu_ms(sim.usage), flash_ok, device_view(sim.log())))
            if tool.ok and not flash_ok:
                problem = problem or "the device's flash differs from the image"
            elif tool.ok and not (seen[-1].summary.get("rx_bytes") and
                                  seen[-1].summary.get("tx_bytes")):
                problem = problem or "no byte counts in the simulator's summary"
            elif tool.ok and seen[-1].view.span_ms is None:
                problem = problem or "no probe or reset in the simulator's log"
    except Exception as e:  # noqa: BLE001 - a row that breaks is reported as such
        tool, problem = failed(str(e)), str(e)
    finally:
        for sim in sims:
            sim.stop()
    if not problem and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return Row(image, flash_ms, key, tool, seen, problem)


# -- the Wine row -------------------------------------------------------------------



def run_wine(args, image, work):
    """One clean update through fwu.exe under Wine (fwu_testkit.winelab: a
    private prefix, Xvfb, a real click), the simulator as COM1 on a paced
    line. click_ms runs from the click to "Programming Completed" seen by
    the watching probe; span_ms is the device's view, as for the native
    rows."""
    missing = [p for p in (args.wine_exe, args.probe, args.devsim) if not os.path.exists(p)]
    if missing:
        return WineResult(False, "missing " + ", ".join(missing), None, None, None, None)
    template = os.path.join(work, "template")
    winelab.make_template(template, log=os.path.join(work, "template.log"))
    try:
        with winelab.Session(os.path.join(work, "run"), template, args.wine_exe, args.probe,
                             args.devsim) as session:
            sim = session.start_devsim("-v", summary=os.path.join(work, "summary.json"))
            session.start_tool()
            session.wait_window(120000)
            rc, lines = session.probe("button")
            if rc != 0:
                raise winelab.WineError("the Update Device button was not found")
            ends = ["Programming Completed", "FAILED"]
            with session.watch_status(ends, args.limit_s) as watch:  # watching before the click
                clicked = time.monotonic()
                session.click(*lines[0].split())
                seen = watch.until(ends)
                finished = time.monotonic()
            if not seen or seen[-1] != "Programming Completed":
                raise winelab.WineError(f"the update did not complete (last statuses {seen[-3:]})")
            if session.wait_devsim(60) != 0:
                raise winelab.WineError("the simulator did not end cleanly after the reset")
            span = sim.device_span_ms()
            view = device_view(sim.log())
            summary = sim.summary()
            with open(session.dump_path, "rb") as f:
                flash_ok = f.read() == padded(image.raw)
    except (winelab.WineError, OSError, ValueError) as e:
        return WineResult(False, str(e), None, None, None, None)
    if span is None:
        return WineResult(False, "no probe or reset in the simulator's log", None, None, None,
                          None)
    if not flash_ok:
        return WineResult(False, "the device's flash differs from the image", None, None, None,
                          None)
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    wire = wire_ms(summary["rx_bytes"] + summary["tx_bytes"]) / 1000
    return WineResult(True, "", span, (finished - clicked) * 1000, wire, view)


# -- the command ----------------------------------------------------------------------

def count(text, most):
    """A decimal count, optionally followed by K (KiB), from 0 to most."""
    scale = 1024 if text[-1:] in ("K", "k") else 1
    digits = text[:-1] if scale != 1 else text
    if not digits.isdigit() or int(digits) * scale > most:
        raise argparse.ArgumentTypeError(f"{text!r}: a count from 0 to {most}, K for KiB")
    return int(digits) * scale


def count_list(most):
    return lambda text: [count(item, most) for item in text.split(",")]


def name_list(names):
    def parse(text):
        items = text.split(",")
        unknown = [item for item in items if item not in names]
        if unknown or not text:
            raise argparse.ArgumentTypeError(
                f"{text!r}: a comma-separated list of {', '.join(sorted(names))}")
        return items
    return parse


def print_setting():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    print(f"fwu-bench: fwu-devsim paced at {LINE_BAUD} baud 8E1 ({LINE_BITS_PER_BYTE} bits a "
          f"byte) over a pty; {platform.system()} {platform.release()}, {os.cpu_count()} CPUs, "
          f"{cpu}")


def print_load(when):
    print("load average {}: {:.2f} {:.2f} {:.2f}".format(when, *os.getloadavg()))


def main():
    sys.stdout.reconfigure(line_buffering=True)  # tables and progress keep their order
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser(prog="fwu-bench", description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=count_list(APP_FLASH_BYTES), default=[1024, 100 * 1024,
                    APP_FLASH_BYTES], help="image sizes in bytes, K for KiB (default "
                    "1K,100K,1008K; 1008K is the most the device's flash takes)")
    ap.add_argument("--flash-ms", type=count_list(MAX_FLASH_MS), default=[0, 25],
                    help="the device's programming time per block (default 0,25)")
    ap.add_argument("--image", action="append", default=[],
                    help="also update with this raw image (padded like the tool's)")
    ap.add_argument("--embedded", action="store_true",
                    help="also update with the image the native build embeds, as fwu.exe does")
    ap.add_argument("--runners", "--runner", type=name_list(RUNNERS), default=["engine", "cli"],
                    help="the tool runners of the rows, in order: engine (the terminal "
                    "screen's cadence, fwu-bench-tool), cli (fwu update) (default engine,cli)")
    ap.add_argument("--devices", type=count_list(MAX_DEVICES), default=[1, 2, 4, 8],
                    help="how many devices the cli runner updates at once, one row per count "
                    f"(default 1,2,4,8; at most {MAX_DEVICES}); other runners take one")
    ap.add_argument("--limit-s", type=int, default=600,
                    help="give up on one update after this many seconds (default 600)")
    ap.add_argument("--wine", action="store_true",
                    help="also update with fwu.exe under Wine and print its ratio beside the "
                    "native tool's, both with the embedded image and an instant device")
    ap.add_argument("--wine-exe", default=os.path.join(ROOT, "build", "win64", "fwu.exe"),
                    help="the fwu.exe of the Wine row (default: the win64 preset's)")
    ap.add_argument("--probe", default=os.path.join(ROOT, "build", "win64", "fwu_probe.exe"))
    ap.add_argument("--devsim", default=os.path.join(NATIVE, "tools", "devsim", "fwu-devsim"))
    ap.add_argument("--tool-child", default=os.path.join(NATIVE, "bench", "fwu-bench-tool"))
    ap.add_argument("--fwu", default=os.path.join(NATIVE, "fwu"),
                    help="the command line of the cli runner (default: the native preset's)")
    ap.add_argument("--embedded-image", default=embedded_image_path())
    ap.add_argument("--work", default=os.path.join(NATIVE, "bench", "work"),
                    help="scratch directory; a failed row's files stay there")
    ap.add_argument("--keep", action="store_true",
                    help="keep every row's files (simulator logs and summaries, the tool's "
                    "output) in the scratch directory")
    args = ap.parse_args()
    if 0 in args.sizes:
        ap.error("an image has at least one byte")
    if 0 in args.devices:
        ap.error("--devices: at least one device")
    if not 1 <= args.limit_s <= 86400:
        ap.error("--limit-s takes 1 to 86400")
    args.embedded_asked = args.embedded
    if args.wine:  # the Wine row is compared with the native tools on the same image
        args.embedded = True
        if 0 not in args.flash_ms:
            args.flash_ms.insert(0, 0)
    needed = [args.devsim] + [args.tool_child] * ("engine" in args.runners)
    needed += [args.fwu] * ("cli" in args.runners)
    for path in needed:
        if not os.path.exists(path):
            sys.exit(f"fwu-bench: missing {path} (cmake --build --preset native)")

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    images = make_images(args, args.work)
    print_setting()
    print_load("before")
    rows = []
    for n, image in enumerate(images):
        for flash_ms in args.flash_ms:
            for key in args.runners:
                many = RUNNERS[key].many and not image.only_one
                for devices in args.devices if many else [1]:
                    print(f"fwu-bench: {image.label}, device {flash_ms} ms/block, "
                          f"{tool_name(key, devices)}...", file=sys.stderr, flush=True)
                    row = run_row(args, key, devices, image, flash_ms,
                                  os.path.join(args.work, f"row{n}-{flash_ms}ms-{key}-{devices}"))
                    print(f"fwu-bench:   {row.tool.elapsed_ms / 1000:.3f} s" if not row.problem
                          else f"fwu-bench:   failed: {row.problem}", file=sys.stderr,
                          flush=True)
                    rows.append(row)
    wine = embedded = None
    if args.wine:
        print("fwu-bench: fwu.exe under Wine, embedded image, device 0 ms/block...",
              file=sys.stderr, flush=True)
        embedded = next(i for i in images if i.embedded)
        wine = run_wine(args, embedded, os.path.join(args.work, "wine"))
        print(f"fwu-bench:   {wine.span_ms / 1000:.3f} s (device view)" if wine.ok
              else f"fwu-bench:   failed: {wine.problem}", file=sys.stderr, flush=True)
    print_load("after")
    engine_rows = [r for r in rows if r.runner == "engine"]
    if engine_rows:
        print(f"rows: {RUNNERS['engine'].label}\n")
        print_tables(engine_rows)
    print_side_by_side(args, rows, wine, embedded)
    print_device_view(args, rows, wine, embedded)
    if wine is not None:
        native = next((r for r in engine_rows if r.image.embedded and r.flash_ms == 0), None)
        print_wine(args, native, wine)
    return 1 if any(r.problem for r in rows) or (wine is not None and not wine.ok) else 0


if __name__ == "__main__":
    sys.exit(main())
