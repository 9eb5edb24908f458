"""Runs the Windows tool the way an operator sees it, on this Linux machine:
fwu.exe under Wine on an X display of its own, with the boot loader
simulator's pseudo-terminal as COM1, driven by real clicks (xdotool) and read
back through the fwu_probe helper. The prefix is 64-bit; a 32-bit (i686)
fwu.exe runs in it through Wine's 32-bit loader (WoW64), an x86-64 one
through the 64-bit loader, each chosen from the executable's header. Where
the kernel runs no 32-bit programs (x86-64 without ia32 emulation: "Exec
format error"), the 32-bit loader runs through qemu-i386 instead
(wineloader.find_loader).

Everything a session starts is its own and is stopped by PID when it ends:
the X server, the wineserver of its private WINEPREFIX, the simulator and
the tool. Used by the end-to-end tests (tests/wine/e2e.py), the demo
(scripts/demo.py) and the benchmark's Wine row.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from fwu_testkit import process
from fwu_testkit.devsim import Devsim
# Also winelab's own: its callers use winelab.find_loader, winelab.WINE32...
from fwu_testkit.wineloader import (  # noqa: F401
    WINE32, WINE64, WineError, fill_syswow64, find_loader, find_machine_loader, loader_for,
    loader_runs, skip_status)
# The prefix and the display, winelab's own too (winelab.make_template, ...).
from fwu_testkit.wineprefix import (  # noqa: F401
    TEMPLATE_LINK, WINESERVER, clone_prefix, clone_prefix_ports, make_template, start_display,
    start_wineserver, stop_wineserver, wine_env)

CAPTION = "Device Firmware Update Tool"
FATAL_CAPTION = "Terminate Program"


def unescape(text):
    """Undoes the probe's escaping of \\n, \\r, \\t and backslashes."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)



class Session:
    """One run of the tool: display, prefix, wineserver, simulator, tool.
    The tool and the probe each start under find_loader's Loader for them;
    the environment of every Wine process of the session carries theirs."""

    def __init__(self, workdir, template, exe, probe, devsim, display=None):
        self.workdir = os.path.abspath(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.prefix = os.path.join(self.workdir, "prefix")
        self.com1_link = os.path.join(self.workdir, "com1")
        self.exe, self.probe_exe, self.devsim_exe = exe, probe, devsim
        self.trace_path = os.path.join(self.workdir, "trace.txt")
        self.dump_path = os.path.join(self.workdir, "flash-dump.bin")
        self.xvfb = self.server = self.devsim = self.tool = None
        self.socket_dir = None
        self.display = display
        self.loader = self.loader_of(exe)
        self.probe_loader = self.loader_of(probe)
        try:
            clone_prefix(template, self.prefix, self.com1_link)
            if self.display is None:
                self.xvfb, self.display = start_display(os.path.join(self.workdir, "xvfb.log"))
            self.env = wine_env(self.prefix, self.display,
                                {**self.probe_loader.env, **self.loader.env})
            self.server = start_wineserver(self.prefix)
        except BaseException:
            self.close()
            raise

    def loader_of(self, exe):
        """find_loader's Loader for exe; WineError when there is none."""
        loader, why = find_loader(exe, self.workdir)
        if loader is None:
            raise WineError(why)
        return loader

    # -- the simulated device ---------------------------------------------
    def start_devsim(self, *options, summary=None):
        """fwu-devsim with its line linked at COM1's path (its logs in the
        work directory, see fwu_testkit.devsim), its summary JSON at summary
        if given."""
        if os.path.lexists(self.com1_link):
            os.remove(self.com1_link)
        self.devsim = Devsim(self.devsim_exe, self.workdir, *options, dump=self.dump_path,
                             summary=summary, link=self.com1_link)
        return self.devsim

    def signal_devsim(self, sig):
        self.devsim.send_signal(sig)

    def wait_devsim(self, timeout):
        """Its exit code once it ended within timeout seconds, else None."""
        return self.devsim.wait(timeout)

    def stop_devsim(self):
        if self.devsim is not None:
            self.devsim.stop()

    def make_dead_port(self):
        """Leaves at COM1's path a file that exists but is no device: a
        link to a socket with no listener. Under Wine a COM port whose
        target has disappeared still opens (its mount manager keeps a device
        object for it); one whose target cannot be opened fails as a
        vanished port does on Windows. The socket lives in a short directory
        under /tmp: a socket's path may not exceed 107 bytes, which the
        work directory of a deep checkout can."""
        if os.path.lexists(self.com1_link):
            os.remove(self.com1_link)
        if self.socket_dir is None:
            self.socket_dir = tempfile.mkdtemp(prefix="fwu-", dir="/tmp")
        path = os.path.join(self.socket_dir, "dead-port")
        if os.path.lexists(path):
            os.remove(path)
        sock = socket.socket(socket.AF_UNIX)
        try:
            sock.bind(path)
        finally:
            sock.close()
        os.symlink(path, self.com1_link)

    # -- the tool ----------------------------------------------------------
    def start_tool(self, exe=None):
        self.trace_file = open(self.trace_path, "wb")
        self.tool_stderr = open(os.path.join(self.workdir, "stderr.txt"), "wb")
        exe = exe or self.exe
        loader = self.loader if loader_for(exe) == loader_for(self.exe) else self.loader_of(exe)
        self.tool = process.start([*loader.command, exe], env=self.env, cwd=self.workdir,
                                  stdout=self.trace_file, stderr=self.tool_stderr)

    def wait_tool(self, timeout):
        return self.tool.wait(timeout=timeout)

    def trace(self):
        return open(self.trace_path, encoding="latin-1").read()

    # -- looking and pressing ------------------------------------------------
    def probe(self, *args, timeout=60):
        """Runs fwu_probe; its output goes through a file, not a pipe: a Wine
        process may start Wine's own services, which would inherit a pipe
        and hold it open long after the probe ended."""
        out_path = os.path.join(self.workdir, "probe-out.txt")
        with open(out_path, "wb") as out:
            done = subprocess.run([*self.probe_loader.command, self.probe_exe, *map(str, args)],
                                  env=self.env,
                                  stdout=out, stderr=subprocess.DEVNULL, timeout=timeout)
        text = open(out_path, "rb").read().decode("utf-8", "replace")
        return done.returncode, [unescape(l) for l in text.splitlines()]

    def wait_window(self, timeout_ms=60000):
        deadline = time.time() + timeout_ms / 1000
        while self.probe("wait-window", 2000)[0] != 0:
            if self.tool is not None and self.tool.poll() is not None:
                raise WineError(f"the tool ended (code {self.tool.returncode}) before its window showed")
            if time.time() > deadline:
                raise WineError("the main window did not appear")
        self.window_id = self.xdotool("search", "--sync", "--name", CAPTION).split()[0]

    def status(self):
        rc, lines = self.probe("status")
        return lines[0] if rc == 0 and lines else None

    def ports(self):
        rc, lines = self.probe("ports")
        if rc != 0:
            raise WineError("the port list could not be read")
        count = int(lines[0].split()[1])
        selected = int(lines[1].split()[1])
        rows = [l.split(" ", 2)[2] for l in lines[2:2 + count]]
        return selected, rows

    def watch_status(self, finals, timeout_s, echo=None):
        """Starts watching the status line (see StatusWatch); use it with
        `with`, so that the watching probe is stopped."""
        return StatusWatch(self, finals, timeout_s, echo)

    def watch(self, finals, timeout_s, action, echo=None):
        """Runs action (a press) with the status watched from before it, and
        returns the status texts that followed, up to one of finals."""
        with self.watch_status(finals, timeout_s, echo) as watch:
            action()
            return watch.until(finals)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True,
                              text=True, timeout=60, check=True).stdout

    def click(self, x, y):
        # No --sync: it waits for the pointer to move, which it does not when
        # it already stands there (a second press of the same button).
        self.xdotool("mousemove", str(x), str(y), "click", "1")

    def update_button(self):
        """Where the Update Device button is, to click (a probe: a Wine
        process, which may take seconds to start on a loaded machine)."""
        rc, lines = self.probe("button")
        if rc != 0:
            raise WineError("the Update Device button was not found")
        return lines[0].split()

    def press_update(self, at=None):
        """Clicks the button, found first unless at (update_button's) says where."""
        self.click(*(at or self.update_button()))

    def close_window(self):
        """Clicks the close box of the window's caption."""
        rc, lines = self.probe("close-box")
        if rc != 0:
            raise WineError("the close box was not found")
        self.click(*lines[0].split())

    def fatal_box(self, timeout_ms=60000):
        rc, lines = self.probe("msgbox", timeout_ms, timeout=timeout_ms / 1000 + 30)
        if rc != 0:
            raise WineError("no fatal error box appeared")
        info = dict(l.split(" ", 1) for l in lines if " " in l)
        info["window_id"] = self.xdotool("search", "--sync", "--name", FATAL_CAPTION).split()[0]
        return info

    def dismiss_fatal_box(self, window_id):
        """Presses Return on the box, as the operator would."""
        self.xdotool("windowfocus", window_id)
        self.xdotool("key", "Return")

    def select_port(self, row):
        rc, _ = self.probe("select", row)
        if rc != 0:
            raise WineError("the port list did not take the selection")

    def screenshot(self, path, window_id=None):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", window_id or "root", path],
                       check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # -- the end -----------------------------------------------------------
    def close(self):
        self.stop_devsim()
        stop_wineserver(self.prefix, self.server)  # ends the tool and the probes too
        if self.tool is not None:
            try:
                self.tool.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.stop(self.tool, sig=signal.SIGKILL)
        process.stop(self.xvfb)
        self.server = self.xvfb = None
        if self.socket_dir is not None:
            shutil.rmtree(self.socket_dir, ignore_errors=True)
            self.socket_dir = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def text_matches(text, pattern):
    """The probe's rule: a pattern ending in * matches every text that
    starts with the rest."""
    return text.startswith(pattern[:-1]) if pattern.endswith("*") else text == pattern


class StatusWatch:
    """A running `fwu_probe watch`: the status texts as they change.

    Starting a Wine process can take seconds on a loaded machine, longer
    than a status lives, so the probe is started before the press it is
    to see and is known to be watching once it has reported the status as
    it stands (`start`). A change that lives only a few milliseconds may
    still go unseen; what is seen comes in the order it was shown."""

    FIRST_LINE_S = 120  # the probe's start under Wine on a loaded machine

    def __init__(self, session, finals, timeout_s, echo=None):
        self.echo = echo
        self.lines, self.pending = [], b""
        self.deadline = time.time() + timeout_s + self.FIRST_LINE_S
        self.out_path = os.path.join(session.workdir, "probe-watch.txt")
        self.out = open(self.out_path, "wb")
        self.feed = self.process = None
        try:
            # Through a file, not a pipe, as in Session.probe.
            self.process = process.start(
                [*session.probe_loader.command, session.probe_exe, "watch", str(int(timeout_s * 1000)), *finals],
                env=session.env, stdout=self.out, stderr=subprocess.DEVNULL)
            self.feed = open(self.out_path, "rb")
            end = time.time() + self.FIRST_LINE_S
            while not self.lines:
                if not self._read():
                    raise WineError(f"the status watch ended at once (code {self.process.returncode})")
                if time.time() > end:
                    raise WineError("the status watch reported nothing")
            self.start = self.lines.pop(0)  # the status when watching began
        except BaseException:
            self.close()
            raise

    def _read(self):
        """Takes in what the probe wrote; False once it has ended and all
        it wrote is in."""
        ended = self.process.poll() is not None
        self.pending += self.feed.read()
        *done, self.pending = self.pending.split(b"\n")
        for raw in done:
            text = unescape(raw.decode("utf-8", "replace"))
            self.lines.append(text)
            if self.echo:
                self.echo(text)
        if not ended and not done:
            time.sleep(0.02)
        return not ended or bool(done)

    def until(self, patterns):
        """The texts seen since the last call, up to and including the first
        that matches one of patterns; fewer when the probe ended first (its
        finals reached or its time out) or the time ran out."""
        seen = []
        while True:
            while self.lines:
                seen.append(self.lines.pop(0))
                if any(text_matches(seen[-1], p) for p in patterns):
                    return seen
            if not self._read() or time.time() > self.deadline:
                return seen

    def close(self):
        process.stop(self.process)
        for f in (self.feed, self.out):
            if f is not None:
                f.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
