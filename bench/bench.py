#!/usr/bin/env python3
"""fwu-bench: how close a whole update comes to the speed of the wire, and
what it costs the machine.

Each row updates fwu-devsim, its line paced at 115200 8E1 (11 bits a
byte), through a tool runner: by default the native engine and the POSIX
serial link in a child process of its own (fwu-bench-tool, stepped through
the shell's session code), so its CPU time and peak memory are the tool's
alone. The simulator's summary gives the bytes on the line each way, hence
the wire time no tool could beat, and its request log (-v) the device's
view of the update: first probe heard to last reset heard. With --wine the
same update runs once more through fwu.exe under Wine, compared with the
native tool by that device view. Prints Markdown tables.

This is a measurement, not a test: nothing here passes or fails on time.
"""
import argparse
import collections
import json
import os
import platform
import shutil
import signal
import sys
import time

from fwu_testkit import process, winelab
from fwu_testkit.checks import padded, pattern
from fwu_testkit.devsim import Devsim

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build", "native")

LINE_BAUD = 115200
LINE_BITS_PER_BYTE = 11          # start, 8 data, parity, stop
BLOCK_SIZE = 1024
APP_FLASH_BYTES = 1008 * 1024    # the device's flash from 0x08004000 up
BLOCK_FRAME_BYTES = BLOCK_SIZE + 11
BLOCK_ACK_BYTES = 11             # what fwu-devsim answers a block with
MAX_FLASH_MS = 10000
# The engine's and the shell's timing rules, for the model.
TICK_MS = 10
READ_INTERVAL_MS = 20
READ_TOTAL_MS = 100
PROBE_PAUSE_MS = 100


# -- images ---------------------------------------------------------------------

Image = collections.namedtuple("Image", "label path embedded raw")


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
        images.append(Image(label, path, False, raw))
    for path in args.image:
        with open(path, "rb") as f:
            raw = f.read()
        images.append(Image(f"{os.path.basename(path)} ({len(raw)} B)", os.path.abspath(path),
                            False, raw))
    if args.embedded:
        path = args.embedded_image
        with open(path, "rb") as f:
            raw = f.read()
        shown = os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path
        images.append(Image(f"{shown} (embedded, {len(raw)} B)", path, True, raw))
    for image in images:
        if not 1 <= len(image.raw) <= APP_FLASH_BYTES:
            sys.exit(f"fwu-bench: {image.label}: an image has 1 to {APP_FLASH_BYTES} bytes")
    return images


# -- tool runners ---------------------------------------------------------------
#
# A runner updates the devices on the given pseudo-terminals (one per
# simulator, `devices` of them) with one image and returns a ToolResult.
# Phase times it cannot tell stay None; the tables show "-" for them.

ToolResult = collections.namedtuple(
    "ToolResult", "ok problem elapsed_ms cpu_ms peak_rss_kib phases")
Runner = collections.namedtuple("Runner", "label devices run")


def failed(problem):
    return ToolResult(False, problem, None, None, None, None)


def run_engine_child(args, ports, image, work):
    """fwu-bench-tool: the native engine, stepped through the session code
    over the POSIX serial link. Its CPU time is its own over the update
    (the child measures it); its peak RSS is watched from here."""
    out = os.path.join(work, "tool.json")
    argv = [args.tool_child, "--port", ports[0], "--limit-ms", str(args.limit_s * 1000),
            "--out", out]
    argv += ["--embedded"] if image.embedded else ["--image", image.path]
    with open(os.path.join(work, "trace.txt"), "wb") as trace:
        child = process.start(argv, stdout=trace)
    _, peak_kib = process.reap_measured(child, args.limit_s + 30)
    if child.returncode is None:
        process.stop(child)
        return failed("the tool child did not end")
    if child.returncode == 3:
        return failed(f"the tool child could not open {ports[0]}")
    try:
        with open(out) as f:
            report = json.load(f)
    except (OSError, ValueError):
        return failed(f"the tool child (exit {child.returncode}) reported nothing usable")
    if report["state"] != 7:  # Done
        return failed(f"the update ended in state {report['state']}")
    phases = {k: report[k] for k in ("link_ms", "blocks_ms", "tail_ms", "block_median_ms",
                                      "block_max_ms", "reads_per_block")}
    return ToolResult(True, "", report["elapsed_ms"], report["cpu_ms"], peak_kib, phases)


RUNNERS = {
    "engine": Runner("native engine + POSIX serial link", 1, run_engine_child),
}


# -- rows -----------------------------------------------------------------------

Device = collections.namedtuple("Device", "summary span_ms cpu_ms flash_ok")
Row = collections.namedtuple("Row", "image flash_ms tool devices problem")


def run_row(args, runner, image, flash_ms, work):
    """One update of image: fresh simulators, the runner, then what each
    device saw. The row's problem is "" when all went right."""
    os.makedirs(work)
    sims, devices = [], []
    try:
        for i in range(runner.devices):
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
            devices.append(Device(sim.summary(), sim.device_span_ms(),
                                  process.cpu_ms(sim.usage), flash_ok))
            if tool.ok and not flash_ok:
                problem = problem or "the device's flash differs from the image"
            elif tool.ok and not (devices[-1].summary.get("rx_bytes") and
                                  devices[-1].summary.get("tx_bytes")):
                problem = problem or "no byte counts in the simulator's summary"
    except Exception as e:  # noqa: BLE001 - a row that breaks is reported as such
        tool, problem = failed(str(e)), str(e)
    finally:
        for sim in sims:
            sim.stop()
    if not problem:
        shutil.rmtree(work, ignore_errors=True)
    return Row(image, flash_ms, tool, devices, problem)


# -- the model: what the engine's timing rules make of a paced line ---------------

def wire_ms(nbytes):
    return nbytes * LINE_BITS_PER_BYTE * 1000.0 / LINE_BAUD


def model_block_ms(ack_ms):
    """Time from writing a block to writing the next, for an ack fully
    arrived ack_ms after the write. The next step comes a tick after the
    write; each step's read lasts READ_TOTAL_MS, or ends READ_INTERVAL_MS
    after the last byte if that is sooner; a step that reads nothing is
    followed a tick later by another."""
    step = TICK_MS
    for _ in range(1000):
        total_end = step + READ_TOTAL_MS
        if ack_ms <= total_end:
            return min(max(ack_ms, step) + READ_INTERVAL_MS, total_end)
        step = total_end + TICK_MS
    return -1


def model_link_ms():
    """Press to the first block: a tick, the first probe and its pause (not
    read), a tick, the second probe and its pause, a read that finds both
    replies together (rejected; it ends 20 ms after them), a tick, the third
    probe, its pause and its reply (accepted, 20 ms of quiet)."""
    return 3.0 * TICK_MS + 3.0 * PROBE_PAUSE_MS + 2.0 * READ_INTERVAL_MS


def model_tail_ms():
    """Last ack to Done: verify and reset replies are short and already
    there when the next step reads, so each costs a tick and the read's
    quiet time."""
    return 2.0 * (TICK_MS + READ_INTERVAL_MS)


def block_ack_ms(flash_ms):
    return wire_ms(BLOCK_FRAME_BYTES + BLOCK_ACK_BYTES) + flash_ms


def model_total_ms(blocks, flash_ms):
    return model_link_ms() + blocks * model_block_ms(block_ack_ms(flash_ms)) + model_tail_ms()


# -- tables -----------------------------------------------------------------------

def device_label(flash_ms):
    return "instant" if flash_ms == 0 else f"{flash_ms} ms/block"


def row_wire_s(row):
    """The wire limit: the busiest device's bytes both ways."""
    return max(wire_ms(d.summary["rx_bytes"] + d.summary["tx_bytes"]) for d in row.devices) / 1000


def fmt(value, spec):
    return "-" if value is None or value < 0 else format(value, spec)


def print_tables(rows):
    print("| image | device | update s | wire limit s | ratio | wire + flash s | ratio | "
          "tool CPU | tool peak RSS | sim CPU |")
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|")
    for r in rows:
        if r.problem:
            print(f"| {r.image.label} | {device_label(r.flash_ms)} | failed: {r.problem} |")
            continue
        update = r.tool.elapsed_ms / 1000
        wire = row_wire_s(r)
        floor = wire + r.devices[0].summary["blocks_programmed"] * r.flash_ms / 1000
        sim_elapsed = sum(d.summary.get("elapsed_ms", 0) for d in r.devices)
        sim_cpu = sum(d.cpu_ms or 0 for d in r.devices)
        print(f"| {r.image.label} | {device_label(r.flash_ms)} | {update:.3f} | {wire:.3f} | "
              f"{update / wire:.3f} | {floor:.3f} | {update / floor:.3f} | "
              f"{100 * r.tool.cpu_ms / r.tool.elapsed_ms:.2f} % | "
              f"{fmt(r.tool.peak_rss_kib and r.tool.peak_rss_kib / 1024, '.1f')} MiB | "
              f"{100 * sim_cpu / sim_elapsed if sim_elapsed > 0 else 0:.2f} % |")

    print("\nWhere the time goes (measured, and modelled from the engine's timing rules):\n")
    print("| image | device | blocks | link ms (model) | per block ms: mean (model) | "
          "median | max | reads per block | block wire ms | verify+reset ms (model) | "
          "model total s | device view s |")
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    for r in rows:
        if r.problem:
            continue
        blocks = len(padded(r.image.raw)) // BLOCK_SIZE
        p = r.tool.phases or {}
        mean = p["blocks_ms"] / blocks if p.get("blocks_ms") is not None else None
        span = max((d.span_ms for d in r.devices if d.span_ms is not None), default=None)
        print(f"| {r.image.label} | {device_label(r.flash_ms)} | {blocks} | "
              f"{fmt(p.get('link_ms'), '.1f')} ({model_link_ms():.0f}) | "
              f"{fmt(mean, '.2f')} ({model_block_ms(block_ack_ms(r.flash_ms)):.2f}) | "
              f"{fmt(p.get('block_median_ms'), '.2f')} | {fmt(p.get('block_max_ms'), '.2f')} | "
              f"{fmt(p.get('reads_per_block'), '.2f')} | "
              f"{wire_ms(BLOCK_FRAME_BYTES + BLOCK_ACK_BYTES):.2f} | "
              f"{fmt(p.get('tail_ms'), '.1f')} ({model_tail_ms():.0f}) | "
              f"{model_total_ms(blocks, r.flash_ms) / 1000:.3f} | "
              f"{fmt(span / 1000 if span is not None else None, '.3f')} |")


# -- the Wine row -------------------------------------------------------------------

WineResult = collections.namedtuple("WineResult", "ok problem span_ms click_ms wire_s")


def run_wine(args, image, work):
    """One clean update through fwu.exe under Wine (fwu_testkit.winelab: a
    private prefix, Xvfb, a real click), the simulator as COM1 on a paced
    line. click_ms runs from the click to "Programming Completed" seen by
    the watching probe; span_ms is the device's view, as for the native
    rows."""
    missing = [p for p in (args.wine_exe, args.probe, args.devsim) if not os.path.exists(p)]
    if missing:
        return WineResult(False, "missing " + ", ".join(missing), None, None, None)
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
            summary = sim.summary()
            with open(session.dump_path, "rb") as f:
                flash_ok = f.read() == padded(image.raw)
    except (winelab.WineError, OSError, ValueError) as e:
        return WineResult(False, str(e), None, None, None)
    if span is None:
        return WineResult(False, "no probe or reset in the simulator's log", None, None, None)
    if not flash_ok:
        return WineResult(False, "the device's flash differs from the image", None, None, None)
    shutil.rmtree(work, ignore_errors=True)
    wire = wire_ms(summary["rx_bytes"] + summary["tx_bytes"]) / 1000
    return WineResult(True, "", span, (finished - clicked) * 1000, wire)


def print_wine(args, native, wine):
    build = "win32" if winelab.loader_for(args.wine_exe) == winelab.WINE32 else "win64"
    print("\nThe native tool and fwu.exe under Wine, the same embedded image, an instant "
          "device, the line paced (device view: first probe heard to last reset heard, "
          "from the simulator's log):\n")
    print("| tool | update s | device view s | wire limit s | ratio (device view) | "
          "ratio (update) |")
    print("|---|--:|--:|--:|--:|--:|")
    if native is not None and not native.problem and native.devices[0].span_ms is not None:
        wire, span = row_wire_s(native), native.devices[0].span_ms / 1000
        update = native.tool.elapsed_ms / 1000
        print(f"| native engine + POSIX serial link, {native.image.label} | {update:.3f} "
              f"(press to Done) | {span:.3f} | {wire:.3f} | {span / wire:.3f} | "
              f"{update / wire:.3f} |")
    else:
        print("| native engine + POSIX serial link | failed | | | | |")
    if wine.ok:
        span, click = wine.span_ms / 1000, wine.click_ms / 1000
        print(f"| fwu.exe ({build}) under Wine | {click:.3f} (click to \"Programming "
              f"Completed\" seen) | {span:.3f} | {wine.wire_s:.3f} | {span / wine.wire_s:.3f} | "
              f"{click / wine.wire_s:.3f} |")
    else:
        print(f"| fwu.exe ({build}) under Wine | failed: {wine.problem} | | | | |")


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
    ap.add_argument("--runner", choices=sorted(RUNNERS), default="engine",
                    help="the tool runner of the rows (default engine)")
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
    ap.add_argument("--embedded-image", default=embedded_image_path())
    ap.add_argument("--work", default=os.path.join(NATIVE, "bench", "work"),
                    help="scratch directory; a failed row's files stay there")
    args = ap.parse_args()
    if 0 in args.sizes:
        ap.error("an image has at least one byte")
    if not 1 <= args.limit_s <= 86400:
        ap.error("--limit-s takes 1 to 86400")
    if args.wine:  # the Wine row is compared with the native tool on the same image
        args.embedded = True
        if 0 not in args.flash_ms:
            args.flash_ms.insert(0, 0)
    for path in (args.devsim, args.tool_child):
        if not os.path.exists(path):
            sys.exit(f"fwu-bench: missing {path} (cmake --build --preset native)")

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    runner = RUNNERS[args.runner]
    images = make_images(args, args.work)
    print_setting()
    print_load("before")
    rows = []
    for n, image in enumerate(images):
        for flash_ms in args.flash_ms:
            print(f"fwu-bench: {image.label}, device {flash_ms} ms/block...", file=sys.stderr,
                  flush=True)
            row = run_row(args, runner, image, flash_ms,
                          os.path.join(args.work, f"row{n}-{flash_ms}ms"))
            print(f"fwu-bench:   {row.tool.elapsed_ms / 1000:.3f} s" if not row.problem
                  else f"fwu-bench:   failed: {row.problem}", file=sys.stderr, flush=True)
            rows.append(row)
    wine = None
    if args.wine:
        print("fwu-bench: fwu.exe under Wine, embedded image, device 0 ms/block...",
              file=sys.stderr, flush=True)
        embedded = next(i for i in images if i.embedded)
        wine = run_wine(args, embedded, os.path.join(args.work, "wine"))
        print(f"fwu-bench:   {wine.span_ms / 1000:.3f} s (device view)" if wine.ok
              else f"fwu-bench:   failed: {wine.problem}", file=sys.stderr, flush=True)
    print_load("after")
    print(f"rows: {runner.label}\n")
    print_tables(rows)
    if wine is not None:
        native = next((r for r in rows if r.image.embedded and r.flash_ms == 0), None)
        print_wine(args, native, wine)
    return 1 if any(r.problem for r in rows) or (wine is not None and not wine.ok) else 0


if __name__ == "__main__":
    sys.exit(main())
