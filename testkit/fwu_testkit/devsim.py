"""fwu-devsim, the boot loader simulator, started for a driver.

Its standard output goes to <name>-out.txt in the work directory (the first
line names the far end of its line, the last its one-line summary) and its
standard error, with -v a line per request heard, to <name>.txt. It dies
with the driver and is stopped by its PID.
"""
import json
import os
import re
import signal
import time

from fwu_testkit import process

FIRST_LINE_S = 120   # its start on a loaded machine
REQUEST = re.compile(r"fwu-devsim:\s+([0-9.]+) ms (\w+) request")


class DevsimError(Exception):
    pass


class Devsim:
    def __init__(self, exe, workdir, *options, name="devsim", dump=None, summary=None,
                 link=None):
        """Starts exe with options (and --dump, --summary-json, --link for
        the paths given) and waits for the first line it prints."""
        os.makedirs(workdir, exist_ok=True)
        self.out_path = os.path.join(workdir, name + "-out.txt")
        self.log_path = os.path.join(workdir, name + ".txt")
        self.dump, self.summary_path, self.usage = dump, summary, None
        args = [exe, *options]
        for flag, value in (("--dump", dump), ("--summary-json", summary), ("--link", link)):
            if value:
                args += [flag, value]
        with open(self.out_path, "wb") as out, open(self.log_path, "ab") as log:
            self.proc = process.start(args, stdout=out, stderr=log)
        end = time.monotonic() + FIRST_LINE_S
        while True:
            text = self.output()
            if "\n" in text:
                self.path = text.split("\n", 1)[0].strip()
                break
            if self.proc.poll() is not None or time.monotonic() > end:
                self.stop()
                raise DevsimError(f"fwu-devsim printed no path ({self.log()[-300:]!r})")
            time.sleep(0.02)
        if not self.path:
            self.stop()
            raise DevsimError("fwu-devsim printed an empty path")

    @property
    def pid(self):
        return self.proc.pid

    def output(self):
        """What it printed on standard output so far."""
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def requests(self):
        """Requests heard so far (needs -v)."""
        return len(REQUEST.findall(self.log()))

    def device_span_ms(self):
        """The device's view of an update (needs -v): from the first contact
        probe it heard to the last reset request it heard; None without
        either."""
        first_probe = last_reset = None
        for t, kind in REQUEST.findall(self.log()):
            if kind == "probe" and first_probe is None:
                first_probe = float(t)
            if kind == "reset":
                last_reset = float(t)
        if first_probe is None or last_reset is None or last_reset < first_probe:
            return None
        return last_reset - first_probe

    def running(self):
        return process.reap(self.proc, 0) is None and self.proc.returncode is None

    def send_signal(self, sig):
        os.kill(self.proc.pid, sig)

    def wait(self, timeout):
        """Its exit code once it ended by itself within timeout seconds,
        else None."""
        usage = process.reap(self.proc, timeout)
        self.usage = usage or self.usage
        return self.proc.returncode

    def stop(self):
        """Ends it (SIGTERM: it still writes its dump and summary) if it
        runs, and reaps it."""
        self.usage = process.stop(self.proc, timeout=30, sig=signal.SIGTERM) or self.usage

    def summary(self):
        with open(self.summary_path) as f:
            return json.load(f)
