#!/usr/bin/env python3
"""Proves one release executable before it is handed out: the i686 fwu.exe
runs under Wine's 32-bit loader in a 64-bit (WoW64) prefix of its own, with
fwu-devsim's line as COM1; "Update Device" is clicked, the status must reach
"Programming Completed", the simulator must have seen a clean reset, its
flash must hold exactly the padded image, and the CRC both sides traced must
be the image's.

  release_prove.py --exe fwu.exe --probe fwu_probe.exe --devsim fwu-devsim
                   --image padded.bin --work DIR [--result FILE]

Where the kernel runs no 32-bit programs (x86-64 without ia32 emulation,
"Exec format error"), the same loader runs through qemu-i386 (package
qemu-user; fwu_testkit.winelab.find_loader). Slow (the window takes a minute
or more), but the executable proven is the one shipped.

A run in which the device was written, verified and reset but the tool
never read the reset's ack (fwu-devsim ends 2 s at most after sending it, a
slowed-down tool may read later) proves nothing either way; it is run once
more, in a fresh copy of the prefix.

Everything started here is stopped by PID (fwu_testkit.winelab); the work
directory is left for the caller to remove. Exit 0 proven, 1 not.
"""
import argparse
import glob
import json
import os
import re
import signal
import sys
import time

from fwu_testkit import winelab
from fwu_testkit.checks import Failed, crc16, expect

WINDOW_TIMEOUT_MS = 600000   # a 32-bit start through qemu-i386 takes a minute or more
FINALS = ["Programming Completed", "FAILED"]
RESETTING = "Resetting target..."
RESET_ACK_S = 60             # from "Resetting target..." to the final status
ATTEMPTS = 2



def traced_crcs(trace):
    found = re.findall(r"^(Remote|Local)  ?CRC (0x[0-9a-f]+|0)$", trace, re.M)
    return {side: int(value, 16) for side, value in found[-2:]}


class LostResetAck(Exception):
    """The device was written, verified and reset, but the tool never took
    the reset's ack: fwu-devsim ends once the ack has left its side of the
    line, waiting at most 2 s for it to be read, and a tool slowed down (a
    loaded machine, qemu-i386) may read later. A fact of the simulator's
    timing, not of the executable: the proof is run again."""


def run_once(args, template, image, crc, name, result):
    with winelab.Session(os.path.join(args.work, name), template, args.exe, args.probe,
                         args.devsim) as session:
        session.start_devsim()
        session.start_tool()
        session.wait_window(WINDOW_TIMEOUT_MS)
        selected, rows = session.ports()
        expect(rows and rows[0] == "\\\\.\\com1" and selected == 0,
               f"the window lists \\\\.\\com1, selected (rows {rows}, selected {selected})")
        # The paced line needs about 0.1 s a block; through qemu-i386 a block
        # may take seconds. This bounds a hang, not the speed.
        timeout_s = 600 + 10 * len(image) // 1024
        started = time.time()
        with session.watch_status(FINALS, timeout_s,
                                  echo=lambda text: print(f"     status: {text}", flush=True)) as watch:
            session.press_update()
            seen = watch.until(FINALS + [RESETTING])
        if seen and seen[-1] == RESETTING:  # the reset's ack ends the update
            end = time.time() + RESET_ACK_S
            while seen[-1] not in FINALS and time.time() < end:
                status = session.status()
                if status is not None and status != seen[-1]:
                    seen.append(status)
                time.sleep(1)
        result["update_seconds"] = round(time.time() - started, 1)
        if (seen and seen[-1] == RESETTING and session.wait_devsim(0) == 0
                and "fwu-devsim: end reset;" in session.devsim.output()):
            raise LostResetAck("the device acknowledged the reset and ended, "
                               "but the tool never read the ack")
        expect(seen and seen[-1] == "Programming Completed",
               f"the status reaches 'Programming Completed' (last seen {seen[-3:]})")
        expect(session.wait_devsim(120) == 0, "the simulator saw a clean reset and ended")
        dump = open(session.dump_path, "rb").read()
        expect(dump == image, f"the simulator's flash holds the padded image "
                              f"({len(dump)} of {len(image)} bytes)")
        session.close_window()
        expect(session.wait_tool(120) == 0, "closing the window ends the tool with code 0")
        trace = session.trace()
        expect(f"Flash Image Size {len(image):#x} bytes\n" in trace,
               f"the tool traced the padded size {len(image):#x}")
        crcs = traced_crcs(trace)
        expect(crcs.get("Remote") == crc and crcs.get("Local") == crc,
               f"device and tool traced the image's CRC-16/MODBUS {crc:#06x} ({crcs})")


def prove(args, result):
    image = open(args.image, "rb").read()
    if not image or len(image) % 1024:
        raise Failed(f"{args.image}: not a padded image ({len(image)} bytes)")
    crc = crc16(image)
    result.update(padded_size=len(image), crc16_modbus=f"{crc:#06x}")

    loader, why = winelab.find_loader(args.exe, args.work)
    if loader is None:
        raise Failed(why)
    result["loader"] = loader.described
    print(f"the tool runs under {loader.described}", flush=True)
    template = os.path.join(args.work, "template")
    if winelab.make_template(template, log=os.path.join(args.work, "template.log")):
        print("syswow64 of the prefix linked to Wine's 32-bit builtins", flush=True)
    for attempt in range(1, ATTEMPTS + 1):
        try:
            run_once(args, template, image, crc, f"run{attempt}", result)
            break
        except LostResetAck as e:
            if attempt == ATTEMPTS:
                raise Failed(f"{e}, {ATTEMPTS} times") from None
            print(f"NOTE {e} (the simulator waits 2 s at most): running the proof again",
                  flush=True)
    result.update(status="Programming Completed", attempts=attempt)


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("exe", "probe", "devsim", "image", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--result", help="write what was proven here (JSON)")
    args = ap.parse_args()
    for name in ("exe", "probe", "devsim", "image", "work"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    os.makedirs(args.work, exist_ok=True)
    result = {"exe": args.exe}
    try:
        prove(args, result)
    except (Failed, winelab.WineError, OSError) as e:
        print(f"FAIL {e}", flush=True)
        for name in ("trace.txt", "stderr.txt", "devsim.txt", "devsim-out.txt"):
            runs = sorted(glob.glob(os.path.join(args.work, "run*")))
            path = os.path.join(runs[-1], name) if runs else ""
            if os.path.exists(path):
                print(f"--- {name} (last lines)")
                print("\n".join(open(path, errors="replace").read().splitlines()[-15:]))
        return 1
    if args.result:
        with open(args.result, "w") as f:
            json.dump(result, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
