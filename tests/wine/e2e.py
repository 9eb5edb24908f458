#!/usr/bin/env python3
"""End-to-end tests of fwu.exe under Wine, driven as an operator would drive
it: a real click on "Update Device", the status line and port list read back
from the window, the trace from the tool's redirected standard output, the
flash from the boot loader simulator's dump. Each case runs once per Windows
build: the i686 fwu.exe under Wine's 32-bit loader, the x86-64 one under the
64-bit loader, both in copies of one 64-bit prefix.

  e2e.py [paths] template                  make the Wine prefix the cases copy
  e2e.py [paths] --build B --exe E CASE    run one case (see CASES) on build B
                                           (wine32, wine64: names its work
                                           directory and screenshots)
  e2e.py [paths] cleanup                   remove the template and the cases'
                                           prefixes (traces and logs stay)

Where the kernel runs no 32-bit programs, the i686 build runs through
qemu-i386 (fwu_testkit.winelab.find_loader), many times slower: its waits are
longer then, and nothing checked depends on the tool's speed.

Exit status 0 pass, 1 fail, 77 skipped: the Windows build is missing and
FWU_REQUIRE_WINDOWS_BUILDS is not set, or this machine cannot run the Wine
loader the build needs (not installed, or a kernel without 32-bit support
refuses /usr/lib/wine/wine and qemu-i386 is missing) and
FWU_REQUIRE_WINE_LOADERS does not require it (wine32, wine64, or both:
wineloader.loader_required).
"""
import argparse
import collections
import os
import re
import shutil
import signal
import sys
import traceback

from fwu_testkit import winelab
from fwu_testkit.checks import Failed, check_update_trace, expect, padded

# How long the cases wait, in seconds: for the window (or the start-up's
# fatal box), for a whole update (a paced ~100 KiB one takes about 10 s), and
# for the tool to answer a click or a close. Generous for loaded machines;
# through qemu-i386 the window alone takes about 100 s and a block seconds.
Waits = collections.namedtuple("Waits", "startup update answer")
WAITS = Waits(startup=120, update=240, answer=60)
EMULATED_WAITS = Waits(startup=600, update=600, answer=180)


def trace_opening(trace):
    return trace.count(" . Opening serial port \\\\.\\com1 at 115200 baud\n")


def update_statuses(blocks, final):
    """The status texts of one update, in the order the tool shows them;
    final is "Programming Completed" or "FAILED"."""
    order = ["Contacting Device...", "Establishing Link..."]
    order += [f"programming {0x8004000 + 1024 * i:#x}" for i in range(blocks)]
    order.append("Verifying...")
    if final == "FAILED":
        return order + ["FAILED"]
    return order + ["Program Verified OK", "Resetting target...", "Programming Completed OK",
                    "Programming Completed"]


def check_statuses(seen, order, what):
    """The probe sees the status only when it looks, so on a loaded machine
    a status that lives a few milliseconds may pass unseen; but whatever it
    saw must be among order's texts and in order's order. (The order of the
    blocks is checked on the trace, which misses none.)"""
    at = 0
    for i, text in enumerate(seen):
        try:
            at = order.index(text, at) + 1
        except ValueError:
            raise Failed(f"{what}: status {text!r} unexpected or out of order "
                         f"(after {seen[max(0, i - 3):i]})") from None
    expect(True, f"{what}: the {len(seen)} statuses seen come in the tool's order")


def trace_runs(trace):
    """The trace of each press that opened the port, in turn."""
    return trace.split(" . Opening serial port ")[1:]


def first_block(run):
    found = re.search(r"PROG ADDR (0x[0-9a-f]+),", run)
    return found.group(1) if found else None


def shot(args, what):
    """The screenshot's path: the build's name, then what it shows."""
    return os.path.join(args.artifacts, f"{args.build}-{what}.png")


def check_startup(session, args):
    session.wait_window(args.waits.startup * 1000)
    selected, rows = session.ports()
    expect(rows and rows[0] == "\\\\.\\com1" and selected == 0,
           f"the port list shows \\\\.\\com1 selected (rows {rows}, selected {selected})")
    expect(session.status() == " - Idle - ", "the status is ' - Idle - '")


def case_startup_and_close(session, args):
    """Start-up, a press with no port chosen, and a normal close."""
    session.start_devsim()
    session.start_tool()
    check_startup(session, args)
    rc, lines = session.probe("window")
    expect("caption Device Firmware Update Tool" in lines and "class FWU" in lines,
           "the main window is of class FWU with its caption")
    rc, controls = session.probe("controls")
    expect(any('4) Press the ""Update Device"" button.' in c for c in controls),
           'the instructions show ""Update Device"" with doubled quotes')
    session.screenshot(shot(args, "idle"), session.window_id)

    session.select_port(-1)
    seen = session.watch(["Choose a COM port first"], args.waits.answer, session.press_update)
    expect(seen == ["Choose a COM port first"],
           f"a press with no port chosen asks for one and goes no further (saw {seen})")

    session.close_window()
    code = session.wait_tool(args.waits.answer)
    expect(code == 0, f"closing the window exits with code 0 (got {code})")
    trace = session.trace()
    expect(trace.startswith("Running on windows version: a00\n\nFlash Image Base 0x8004000\n"
                            f"Flash Image Size {len(padded(args.image_bytes)):#x} bytes\n"),
           "the trace starts with the version, the image base and the padded size")
    expect(trace_opening(trace) == 0, "no port was opened")


def case_clean_update(session, args):
    """A whole update: status to "Programming Completed", flash = padded image."""
    session.start_devsim()
    session.start_tool()
    check_startup(session, args)
    image = padded(args.image_bytes)
    seen = session.watch(["Programming Completed", "FAILED"], args.waits.update, session.press_update)
    expect(seen and seen[-1] == "Programming Completed",
           f"the status ends at 'Programming Completed' (last {seen[-3:]})")
    check_statuses(seen, update_statuses(len(image) // 1024, "Programming Completed"), "the update")
    session.screenshot(shot(args, "completed"), session.window_id)
    expect(session.wait_devsim(60) == 0, "the simulator saw a clean reset")
    dump = open(session.dump_path, "rb").read()
    expect(dump == image, f"the device's flash holds the padded image ({len(image)} bytes)")

    session.close_window()
    expect(session.wait_tool(args.waits.answer) == 0, "closing the window exits with code 0")
    trace = session.trace()
    expect(trace_opening(trace) == 1, "the port was opened once")
    check_update_trace(trace, len(image))


def case_wrong_crc_retry(session, args):
    """A press during an update starts it again; a verify that fails ends in
    "FAILED"; once the device is mended a press on the same port completes."""
    session.start_devsim("--wrong-crc", "all")
    session.start_tool()
    check_startup(session, args)
    image = padded(args.image_bytes)
    failing = update_statuses(len(image) // 1024, "FAILED")
    ends = ["Programming Completed", "FAILED"]
    # One watch over both presses, the button found before: no Wine process
    # has to start between them, while the first update runs out.
    button = session.update_button()
    with session.watch_status(ends, args.waits.update) as watch:
        session.press_update(button)
        # Blocks from 0x8010000 on: half the image is written (any of them, as
        # the probe may not catch every single block's status).
        seen = watch.until(["programming 0x801*", *ends])
        expect(seen and seen[-1].startswith("programming 0x801"), "the update is half way")
        check_statuses(seen, failing, "the first press")
        session.press_update(button)  # while the port is held and the timer runs
        # Until the press is taken the first update goes on with its blocks.
        going_on = failing[failing.index(seen[-1]) + 1:failing.index("Verifying...")]
        seen = watch.until(ends)
    expect(seen and seen[-1] == "FAILED", f"a wrong region CRC ends in 'FAILED' (last {seen[-3:]})")
    check_statuses(seen, going_on + failing, "the second press")
    session.screenshot(shot(args, "failed"), session.window_id)

    session.signal_devsim(signal.SIGUSR1)  # the device is mended
    seen = session.watch(ends, args.waits.update, session.press_update)
    expect(seen and seen[-1] == "Programming Completed",
           f"pressing again after the device is mended completes (last {seen[-3:]})")
    check_statuses(seen, update_statuses(len(image) // 1024, "Programming Completed"), "the third press")
    expect(session.wait_devsim(60) == 0, "the simulator saw a clean reset")
    expect(open(session.dump_path, "rb").read() == image, "the device's flash holds the padded image")

    session.close_window()
    expect(session.wait_tool(args.waits.answer) == 0, "closing the window exits with code 0")
    trace = session.trace()
    expect(trace_opening(trace) == 3, "the same port was opened for each press")
    runs = trace_runs(trace)
    expect(first_block(runs[0]) == "0x8004000" and "PROG ADDR 0x801" in runs[0]
           and "Verifying" not in runs[0], "the first press's update was cut short half way")
    expect(first_block(runs[1]) == "0x8004000" and runs[1].count("CRC FAIL\n") == 1
           and "Resetting target" not in runs[1],
           "the second press started the update from its first block; it failed without a reset request")
    check_update_trace(trace, len(image))


def case_vanished_port(session, args):
    """The adapter disappears between start-up and the press: fatal error, exit 1."""
    session.start_devsim()
    session.start_tool()
    check_startup(session, args)
    session.stop_devsim()
    session.make_dead_port()
    session.press_update()
    box = session.fatal_box(args.waits.answer * 1000)
    text = box.get("text", "")
    expect("Unable to open serial port. In use already, or not present" in text,
           "the fatal error box names the failed open")
    expect(re.search(r"Error number \d+ reported\n", text) is not None, "it gives the system's error number")
    expect(text.endswith("\n\n The program will now abort\n\n\n"), "it ends with the closing text")
    expect(box.get("owner") == "main", "the box is owned by the main window")
    session.screenshot(shot(args, "fatal"))
    session.dismiss_fatal_box(box["window_id"])
    code = session.wait_tool(args.waits.answer)
    expect(code == 1, f"the tool exits with code 1 (got {code})")
    expect(trace_opening(session.trace()) == 1, "the trace shows the attempt to open the port")


def case_missing_image(session, args):
    """An executable without BINFILE: a fatal error that says so, not a crash."""
    stripped = os.path.join(session.workdir, "fwu-noimage.exe")
    data = open(args.exe, "rb").read()
    name = b"\x07\x00" + "BINFILE".encode("utf-16-le")  # the resource directory's name string
    expect(data.count(name) == 1, "fwu.exe names its resource BINFILE once")
    open(stripped, "wb").write(data.replace(name, b"\x07\x00" + "NOIMAGE".encode("utf-16-le")))
    session.start_devsim()
    session.start_tool(stripped)
    box = session.fatal_box(args.waits.startup * 1000)
    text = box.get("text", "")
    expect("The firmware image (resource BINFILE) is missing from this program" in text,
           "the fatal error box says the image is missing")
    expect(re.search(r"Error number 181[34] reported\n", text) is not None,
           "with the resource lookup's error number")
    session.dismiss_fatal_box(box["window_id"])
    code = session.wait_tool(args.waits.answer)
    expect(code == 1, f"the tool exits with code 1 (got {code})")
    expect("Flash Image Base" not in session.trace(), "no image was traced")


CASES = {
    "startup-and-close": case_startup_and_close,
    "clean-update": case_clean_update,
    "wrong-crc-retry": case_wrong_crc_retry,
    "vanished-port": case_vanished_port,
    "missing-image": case_missing_image,
}


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", help="the fwu.exe under test (a case needs it)")
    ap.add_argument("--build", default="wine64", choices=["wine32", "wine64"])
    ap.add_argument("--probe", required=True)
    ap.add_argument("--devsim", required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--artifacts", required=True)
    ap.add_argument("case", choices=["template", "cleanup", *CASES])
    args = ap.parse_args()
    for name in ("exe", "probe", "devsim", "image", "work", "artifacts"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    template = os.path.join(args.work, "template")

    if args.case == "cleanup":  # the prefixes go; the cases' traces and logs stay
        shutil.rmtree(template, ignore_errors=True)
        for build in ("wine32", "wine64"):
            for case in CASES:
                shutil.rmtree(os.path.join(args.work, build, case, "prefix"), ignore_errors=True)
        return 0
    if args.case != "template" and not args.exe:
        ap.error("a case needs --exe")
    needed = [args.probe, args.devsim] + ([args.exe] if args.case != "template" else [])
    missing = [p for p in needed if not os.path.exists(p)]
    if missing:
        print("missing: " + ", ".join(missing) + " (build the win32, win64 and native presets first)")
        return 1 if os.environ.get("FWU_REQUIRE_WINDOWS_BUILDS") else 77
    if args.case == "template":
        os.makedirs(args.work, exist_ok=True)
        winelab.make_template(template, log=os.path.join(args.work, "template.log"))
        print("ok   Wine prefix template made")
        return 0

    args.image_bytes = open(args.image, "rb").read()
    workdir = os.path.join(args.work, args.build, args.case)
    shutil.rmtree(workdir, ignore_errors=True)
    loader, why = winelab.find_loader(args.exe, workdir)
    if loader is None:  # a fact of this machine, not of the build
        print(f"SKIP {why}")
        return winelab.skip_status(winelab.loader_for(args.exe))
    args.waits = EMULATED_WAITS if loader.emulated else WAITS
    print(f"{args.build}: {args.exe} under {loader.described}", flush=True)
    try:
        with winelab.Session(workdir, template, args.exe, args.probe, args.devsim) as session:
            CASES[args.case](session, args)
    except Exception as e:  # noqa: BLE001 - any failure is reported with the logs
        print(f"FAIL {e}")
        if not isinstance(e, (Failed, winelab.WineError)):
            traceback.print_exc()
        for name in ("trace.txt", "stderr.txt", "devsim.txt", "devsim-out.txt"):
            path = os.path.join(workdir, name)
            if os.path.exists(path):
                print(f"--- {name} (last lines)")
                print("\n".join(open(path, errors="replace").read().splitlines()[-25:]))
        return 1
    shutil.rmtree(os.path.join(workdir, "prefix"), ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
