#!/usr/bin/env python3
"""The operator's view of one update, on this machine: the real fwu.exe
(the i686 release build, under Wine's 32-bit loader) under Wine, the boot
loader simulator as COM1 (paced like a 115200 baud wire), a click on
"Update Device", the status line as it changes, the final status, the
trace, and a screenshot of the window.

A machine whose kernel cannot run 32-bit programs cannot run Wine's 32-bit
loader itself; there the demo says so and runs it through qemu-i386
(fwu_testkit.winelab.find_loader), which takes about a minute longer to show
the window. Where Wine's 32-bit loader is not installed (a mirror without
wine32:i386) or cannot run even so, it says why and runs the x86-64 build of
the same sources under the 64-bit loader instead, naming that exe at the
start and at the end.

Run through scripts/demo.sh, which installs and builds what it needs.
Uses $DISPLAY when there is one (the window shows on your screen),
otherwise an Xvfb display of its own. Stops everything it started.
"""
import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

from fwu_testkit import winelab

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--exe", default=os.path.join(ROOT, "build/win32/fwu.exe"))
    ap.add_argument("--fallback-exe", default=os.path.join(ROOT, "build/win64/fwu.exe"),
                    help="shown instead when this machine cannot run --exe's Wine loader")
    ap.add_argument("--probe", default=os.path.join(ROOT, "build/win64/fwu_probe.exe"))
    ap.add_argument("--devsim", default=os.path.join(ROOT, "build/native/tools/devsim/fwu-devsim"))
    ap.add_argument("--screenshot", default=os.path.join(ROOT, "artifacts/demo-window.png"))
    ap.add_argument("--xvfb", action="store_true", help="use a display of its own even if $DISPLAY is set")
    args = ap.parse_args()
    for path in (args.exe, args.probe, args.devsim):
        if not os.path.exists(path):
            sys.exit(f"missing {path}: run scripts/demo.sh, which builds it")
    work = tempfile.mkdtemp(prefix="fwu-demo.")
    started = time.time()

    def say(text):
        print(f"[{time.time() - started:6.1f}s] {text}", flush=True)

    instead = ""
    try:
        loader, why = winelab.find_loader(args.exe, work)
        if loader is None:
            instead = (f" instead of the i686 release build {os.path.relpath(args.exe, ROOT)}, "
                       f"whose Wine loader cannot run here")
            print(f"NOTE: the 32-bit Wine path cannot run here: {why}. Running the x86-64 build "
                  f"of the same sources, {os.path.relpath(args.fallback_exe, ROOT)}, instead",
                  flush=True)
            args.exe = args.fallback_exe
            loader, why = winelab.find_loader(args.exe, work)
            if loader is None:
                sys.exit(why)
        elif loader.emulated:
            print(f"NOTE: this kernel runs no 32-bit programs, so qemu-i386 runs Wine's 32-bit "
                  f"loader (the window takes a minute or two to appear)", flush=True)
        say("preparing a private Wine prefix (takes a few seconds)")
        template = os.path.join(work, "template")
        winelab.make_template(template, log=os.path.join(work, "wineboot.log"))
        display = None if args.xvfb else os.environ.get("DISPLAY") or None
        with winelab.Session(os.path.join(work, "run"), template, args.exe, args.probe,
                             args.devsim, display=display) as session:
            say(f"display {session.display}" + ("" if display else " (Xvfb)"))
            session.start_devsim()
            say(f"fwu-devsim is the device, on COM1 -> {os.path.realpath(session.com1_link)}")
            say(f"starting {os.path.relpath(args.exe, ROOT)} under {loader.described}")
            session.start_tool()
            session.wait_window(600000 if loader.emulated else 120000)
            selected, rows = session.ports()
            say(f"window up; port list: {', '.join(rows)}; selected row {selected}")

            def press():
                say('pressing "Update Device"')
                session.press_update()

            # The watch shows the status as it stands, then each change.
            seen = session.watch(["Programming Completed", "FAILED"], 600, press,
                                 echo=lambda text: say(f"status: {text!r}"))
            final = seen[-1] if seen else session.status()
            say(f"final status: {final!r}")
            session.screenshot(args.screenshot, session.window_id)
            say(f"screenshot of the window: {args.screenshot}")
            session.wait_devsim(30) if final == "Programming Completed" else session.stop_devsim()
            session.close_window()
            code = session.wait_tool(60)
            say(f"window closed; fwu.exe exit code {code}")
            say(f"ran {os.path.relpath(args.exe, ROOT)} under {loader.described}{instead}")
            print("\n----- trace (fwu.exe standard output) -----", flush=True)
            print(session.trace(), end="", flush=True)
            print("----- device -----")
            print(session.devsim.output() + session.devsim.log(), end="")
        return 0 if final == "Programming Completed" and code == 0 else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
