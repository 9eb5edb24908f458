#!/usr/bin/env python3
"""One clean update through fwu.exe under Wine, timed for fwu-bench.

fwu-devsim plays the device on COM1, paced like a 115200 8E1 wire and
logging each request with its time (-v); the tool is pressed with a real
click and watched until "Programming Completed". Writes one line to --out:

  span_ms S click_ms C rx R tx T blocks B flash_ok 0|1

span_ms is the device's view, the same yardstick fwu-bench reads for the
native tool: from the first contact probe heard to the last reset request
heard. click_ms runs from the click to the final status seen by the
watching probe (which polls every 5 ms; add Wine's message handling). rx and
tx are the bytes on the line each way from the simulator's summary.
Everything started here is stopped again (fwu_testkit.winelab).
"""
import argparse
import json
import os
import re
import shutil
import signal
import sys
import time

from fwu_testkit import winelab
from fwu_testkit.checks import padded

UPDATE_TIMEOUT_S = 600
LOGGED = re.compile(r"fwu-devsim:\s+([0-9.]+) ms (\w+) request")


def device_span_ms(log_path):
    """First probe heard to last reset heard, from the simulator's -v log."""
    first_probe = last_reset = None
    for line in open(log_path, errors="replace"):
        m = LOGGED.search(line)
        if not m:
            continue
        t, kind = float(m.group(1)), m.group(2)
        if kind == "probe" and first_probe is None:
            first_probe = t
        if kind == "reset":
            last_reset = t
    if first_probe is None or last_reset is None:
        return None
    return last_reset - first_probe


def main():
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--devsim", required=True)
    ap.add_argument("--image", required=True, help="the image fwu.exe embeds")
    ap.add_argument("--work", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    for name in ("exe", "probe", "devsim", "image", "work", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    missing = [p for p in (args.exe, args.probe, args.devsim, args.image) if not os.path.exists(p)]
    if missing:
        print("wine_run: missing " + ", ".join(missing), file=sys.stderr)
        return 77

    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    template = os.path.join(work, "template")
    summary = os.path.join(work, "summary.json")
    winelab.make_template(template, log=os.path.join(work, "template.log"))
    with winelab.Session(os.path.join(work, "run"), template, args.exe, args.probe,
                         args.devsim) as session:
        session.start_devsim("-v", "--summary-json", summary)
        session.start_tool()
        session.wait_window(120000)
        rc, lines = session.probe("button")
        if rc != 0:
            raise winelab.WineError("the Update Device button was not found")
        ends = ["Programming Completed", "FAILED"]
        with session.watch_status(ends, UPDATE_TIMEOUT_S) as watch:  # watching before the click
            clicked = time.monotonic()
            session.click(*lines[0].split())
            seen = watch.until(ends)
            finished = time.monotonic()
        if not seen or seen[-1] != "Programming Completed":
            raise winelab.WineError(f"the update did not complete (last statuses {seen[-3:]})")
        if session.wait_devsim(60) != 0:
            raise winelab.WineError("the simulator did not end cleanly after the reset")
        span = device_span_ms(os.path.join(session.workdir, "devsim.txt"))
        stats = json.load(open(summary))
        flash_ok = open(session.dump_path, "rb").read() == padded(open(args.image, "rb").read())
    if span is None:
        raise winelab.WineError("no probe or reset in the simulator's log")
    with open(args.out, "w") as out:
        out.write(f"span_ms {span:.3f} click_ms {(finished - clicked) * 1000:.3f} "
                  f"rx {stats['rx_bytes']} tx {stats['tx_bytes']} "
                  f"blocks {stats['blocks_programmed']} flash_ok {int(flash_ok)}\n")
    shutil.rmtree(template, ignore_errors=True)
    shutil.rmtree(os.path.join(work, "run", "prefix"), ignore_errors=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except winelab.WineError as e:
        print(f"wine_run: {e}", file=sys.stderr)
        sys.exit(1)
