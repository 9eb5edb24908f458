#!/usr/bin/env python3
"""End-to-end tests of the Linux tool (fwu) in a terminal, driven as an
operator would drive it: tmux runs it, send-keys types, capture-pane reads
the screen; fwu-devsim plays the device, its dump and summary tell what the
device got; the trace comes from the tool's redirected standard output.

  e2e.py --fwu F --devsim D --image I --work DIR CASE

Each case works in its own directory under --work, runs its own tmux server
(its socket in a short directory of its own under /tmp, removed again) and
stops only that server and the processes it started. Exit status
0 pass, 1 fail, 77 skipped (tmux is missing).
"""
import argparse
import os
import pty
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

from fwu_testkit.checks import (Failed, app_pattern, check_update_trace, crc16, expect, ihex, padded,
                                wait_for)
from fwu_testkit.devsim import Devsim

WAIT_S = 120       # anything the tool shows; the machine may be loaded and sanitized
UPDATE_WAIT_S = 300

CAPTION = "Device Firmware Update Tool"
STEPS = [
    "1) Completely UNPLUG the Device requiring update, so it is powered-down.",
    "2) Connect the Velkor to the PC but do not connect to the Device yet.",
    "3) Choose the COM port below corresponding to the Velkor.",
    '4) Press the ""Update Device"" button.',
    "5) Now plug the Velkor into the REMOTE port on the Device (powering it up).",
    "6) Programming should start automatically.",
    "7) After programming the unit should restart automatically.",
    "8) The procedure above can be retried if not successful.",
]
LED_NOTE = ("There should now be a flashing red LED on the Velkor provided the correct COM "
            "port was chosen.")
BUTTON = "[ Update Device ]  "
PORT_ROW = re.compile(r"^  ([> ]) +(\d+)  (\S.*?)(?:  \(refused: ([^)]*)\))?$")
QUESTION = "update in progress: q again to abandon it"
SAMPLE_STATUS = "Bundled sample not written: use fwu --image FILE"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# -- the simulator ------------------------------------------------------------

def start_devsim(args, workdir, *options, paced=False):
    """fwu-devsim with its request log (-v), dump and summary in workdir."""
    options = ["-v", "--seconds", "900", *options, *([] if paced else ["--no-pace"])]
    return Devsim(args.devsim, workdir, *options, dump=os.path.join(workdir, "flash.bin"),
                  summary=os.path.join(workdir, "summary.json"))


# -- the terminal -------------------------------------------------------------

class Terminal:
    """fwu in a pane of a private tmux server, with its trace, standard
    error, exit code and the terminal's modes before and after in files."""

    def __init__(self, workdir, name, command, cols=120, rows=50, stdout=None):
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir)
        self.bells = os.path.join(self.dir, "bells")
        conf = os.path.join(self.dir, "tmux.conf")
        with open(conf, "w") as f:
            f.write("set -g status off\nset -g bell-action any\nset -g monitor-bell on\n"
                    "set -g visual-bell off\n"
                    f"set-hook -g alert-bell 'run-shell \"echo bell >> {self.bells}\"'\n")
        q = {k: shlex.quote(os.path.join(self.dir, k))
             for k in ("trace", "stderr", "rc", "pid", "before", "after")}
        # The pane's shell outlives a Ctrl-C (it runs the trap; the tool gets
        # the default disposition) to record the tool's exit status.
        script = (f"trap : INT; stty -g > {q['before']}; "
                  f"sh -c 'echo $$ > \"$1\"; shift; exec \"$@\"' - {q['pid']} "
                  f"{' '.join(map(shlex.quote, command))}"
                  f" {stdout or '> ' + q['trace']} 2> {q['stderr']}; "
                  f"echo $? > {q['rc']}.tmp; stty -g > {q['after']}; mv {q['rc']}.tmp {q['rc']}; "
                  "exec sleep 3600")
        self.server_pid = None
        # The socket in a short directory of its own: a socket's path may not
        # exceed 107 bytes, which the work directory of a deep checkout can.
        self.socket_dir = tempfile.mkdtemp(prefix="fwu-", dir="/tmp")
        self.socket = os.path.join(self.socket_dir, "tmux.sock")
        try:
            self.tmux("-f", conf, "new-session", "-d", "-s", "fwu", "-x", str(cols), "-y", str(rows),
                      "sh", "-c", script)
            self.server_pid = int(self.tmux("display-message", "-p", "-t", "fwu", "#{pid}").strip())
            self.fwu_pid = int(wait_for(lambda: self.read("pid").strip(), WAIT_S, "fwu's PID"))
        except BaseException:
            self.close()
            raise

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], check=True,
                              capture_output=True, text=True, timeout=60).stdout

    def close(self):
        """Ends this server (and with it the pane), nothing else."""
        try:
            self.tmux("kill-server")
        except (subprocess.SubprocessError, OSError):
            if self.server_pid:
                try:
                    os.kill(self.server_pid, signal.SIGKILL)
                except OSError:
                    pass
        shutil.rmtree(self.socket_dir, ignore_errors=True)

    def read(self, name):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def screen(self):
        return [line.rstrip() for line in self.tmux("capture-pane", "-p", "-t", "fwu").split("\n")]

    def keys(self, *keys):
        self.tmux("send-keys", "-t", "fwu", *keys)

    def type(self, text):
        self.tmux("send-keys", "-t", "fwu", "-l", text)

    def status(self, lines=None):
        for line in lines if lines is not None else self.screen():
            if line.startswith(BUTTON.rstrip()):
                return line[len(BUTTON):]
        return None

    def wait_status(self, wanted, timeout=WAIT_S):
        """Waits until the status line reads one of wanted; returns it."""
        wanted = [w.rstrip() for w in wanted]
        return wait_for(lambda: (self.status() in wanted) and self.status(), timeout,
                        f"the status {wanted} (it reads {self.status()!r})")

    def ports(self, lines=None):
        """(selected row number or None, [names]) from the port list."""
        selected, names = None, []
        for line in lines if lines is not None else self.screen():
            m = PORT_ROW.match(line)
            if m:
                names.append(m.group(3))
                if m.group(1) == ">":
                    selected = int(m.group(2))
        return selected, names

    def refused(self, lines=None):
        """{name: why} for the rows marked refused."""
        return {m.group(3): m.group(4) for m in map(PORT_ROW.match, lines or self.screen())
                if m and m.group(4)}

    def type_path(self, path):
        self.keys("p")
        self.type(path)
        wait_for(lambda: any(l.endswith("Device path: " + path) for l in self.screen()), WAIT_S,
                 "the typed path on screen")
        self.keys("Enter")
        wait_for(lambda: self.ports()[1][-1:] == [path], WAIT_S, "the typed path as a row")

    def start_update(self, path, acked=False):
        """From the idle screen: path typed, u pressed, blocks going out;
        with acked, the second block (the first one acknowledged)."""
        self.wait_status([" - Idle - "])
        self.type_path(path)
        self.keys("u")
        def going(status):
            return status.startswith("programming 0x80") and not (acked and status.endswith(" 0x8004000"))
        wait_for(lambda: going(self.status() or ""), WAIT_S, "blocks to go out")

    def wait_exit(self, timeout=WAIT_S):
        return int(wait_for(lambda: self.read("rc").strip(), timeout, "fwu to end"))

    def bell_count(self):
        return self.read("bells").count("bell")

    def check_restored(self):
        expect(self.read("before") and self.read("before") == self.read("after"),
               "the terminal's modes are as they were before")


    def pane_tty(self):
        return self.tmux("display-message", "-p", "-t", "fwu", "#{pane_tty}").strip()

    def modes_now(self):
        """The pane terminal's modes as stty -g gives them, read from outside."""
        return subprocess.run(["stty", "-g", "-F", self.pane_tty()], check=True,
                              capture_output=True, text=True, timeout=60).stdout

    def holds(self, path):
        """1 when fwu has a descriptor open on path (resolved)."""
        real = os.path.realpath(path)
        fds = f"/proc/{self.fwu_pid}/fd"
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)) in (path, real):
                    return True
            except OSError:
                pass
        return False


def lock_file_for(device):
    """The lock file a terminal program takes for device, or None when the
    lock directory cannot be written here."""
    directory = "/run/lock" if os.path.isdir("/run/lock") else "/var/lock"
    if not os.access(directory, os.W_OK):
        return None
    name = os.path.realpath(device)[len("/dev/"):].replace("/", "_")
    return os.path.join(directory, "LCK.." + name)


def check_clean_trace(trace, image, openings):
    expect(trace.count(" . Opening serial port ") == openings, f"the port was opened {openings} time(s)")
    check_update_trace(trace, len(image))


def case_no_terminal(args, workdir):
    """Standard input not a terminal: a clear error, no trace, non-zero."""
    for stdin in ({"stdin": subprocess.DEVNULL}, {"input": b"u\n"}):
        run = subprocess.run([args.fwu], capture_output=True, timeout=WAIT_S, **stdin)
        expect(run.returncode != 0 and b"not a terminal" in run.stderr and run.stdout == b"",
               f"without a terminal it exits {run.returncode} saying {run.stderr.decode().strip()!r}")


def case_update(args, workdir):
    """The screen as the dialog shows it; a typed path; a whole update to
    "Programming Completed" with one bell; the trace apart from the screen;
    q exits 0 and gives the terminal back."""
    image = padded(args.image_bytes)
    sim = start_devsim(args, workdir)
    term = None
    try:
        term = Terminal(workdir, "term", args.screen)
        term.wait_status([" - Idle - "])
        lines = term.screen()
        expect(lines[0] == CAPTION, "the caption heads the screen")
        expect(all(step in lines for step in STEPS) and LED_NOTE in lines,
               "the eight steps and the LED note stand as the dialog's texts")
        first = [lines.index(s) for s in STEPS[:4]]
        expect(first == list(range(first[0], first[0] + 7, 2)), "steps 1-4 are paragraphs apart")
        selected, names = term.ports(lines)
        allowed = [n for n in names if n not in term.refused(lines)]
        expect(selected == (names.index(allowed[0]) + 1 if allowed else None)
               if names else any("no serial ports found" in l for l in lines),
               f"discovery's ports are listed with the first not refused selected ({names})")

        # The standard 80 x 24: everything still on screen, redrawn on SIGWINCH.
        term.tmux("resize-window", "-t", "fwu", "-x", "80", "-y", "24")
        wait_for(lambda: "port was chosen." in term.screen(), WAIT_S,
                 "a redraw at 80x24 (the LED note wrapped)")
        lines = term.screen()
        expect(lines[0] == CAPTION and all(s in lines for s in STEPS) and
               any(l.startswith("Keys:") for l in lines), "at 80x24 the steps, status and keys fit")

        term.type_path(sim.path)
        expect(term.ports()[0] == len(term.ports()[1]), "the typed path is the selected row")
        term.keys("u")
        term.wait_status(["Programming Completed", "FAILED"], UPDATE_WAIT_S)
        expect(term.status() == "Programming Completed", "the status ends at 'Programming Completed'")
        expect(sim.wait(WAIT_S) == 0, "the simulator ended after the reset")
        with open(sim.dump, "rb") as f:
            expect(f.read() == image, f"the device's flash holds the padded image ({len(image)} bytes)")
        wait_for(lambda: term.bell_count() >= 1, WAIT_S, "the bell")

        term.keys("q")
        expect(term.wait_exit() == 0, "q exits with code 0")
        term.check_restored()
        expect(term.bell_count() == 1, "completion rang the bell once")
        trace = term.read("trace")
        system = os.uname()
        expect(trace.startswith(f"Running on {system.sysname} {system.release} {system.machine}\n"
                                "\nFlash Image Base 0x8004000\n"
                                f"Flash Image Size {len(image):#x} bytes\n"),
               "the trace starts with the system's name, the image base and padded size")
        expect(f" . Opening serial port {sim.path} at 115200 baud\n" in trace, "it names the typed port")
        check_clean_trace(trace, image, 1)
        expect("\x1b" not in trace and "\a" not in trace, "no screen escapes or bells in the trace")
        expect(term.read("stderr") == "", "nothing on standard error")
    finally:
        if term is not None:
            term.close()
        sim.stop()


def case_failed_retry(args, workdir):
    """Rows chosen with the arrows and digits (a wrong choice would open a
    missing port: fatal); Esc cancels a path; a wrong CRC leaves "FAILED"
    with the port held; u again on the same row completes."""
    image = padded(args.image_bytes)
    sim = start_devsim(args, workdir, "--wrong-crc", "1")
    term = None
    try:
        term = Terminal(workdir, "term", args.screen)
        term.wait_status([" - Idle - "])
        term.keys("p")
        term.type("/dev/typed-then-cancelled")
        term.keys("Escape")
        wait_for(lambda: not any("Device path" in l for l in term.screen()), WAIT_S, "Esc to cancel")
        expect("/dev/typed-then-cancelled" not in term.ports()[1], "Esc adds no row")

        missing = "/dev/fwu-test-no-such-port"
        term.type_path(missing)
        term.type_path(sim.path)
        real = len(term.ports()[1])
        term.keys("Up")
        wait_for(lambda: term.ports()[0] == real - 1, WAIT_S, "Up to select the row above")
        term.keys(str(real) if real <= 9 else "Down")
        wait_for(lambda: term.ports()[0] == real, WAIT_S, "the digit/Down to select the simulator's row")

        term.keys("Enter")
        term.wait_status(["FAILED", "Programming Completed"], UPDATE_WAIT_S)
        expect(term.status() == "FAILED", "a wrong region CRC shows 'FAILED'")
        time.sleep(1.0)  # ticks go on in Failed; nothing changes the status
        expect(term.status() == "FAILED" and term.bell_count() == 0, "'FAILED' stays, no bell")

        term.keys("u")
        term.wait_status(["Programming Completed"], UPDATE_WAIT_S)
        expect(sim.wait(WAIT_S) == 0, "the simulator ended after the reset")
        with open(sim.dump, "rb") as f:
            expect(f.read() == image, "the device's flash holds the padded image")
        summary = sim.summary()
        expect(summary["requests"]["verify"] == 2 and summary["requests"]["reset"] == 1,
               f"two verifies, one reset ({summary['requests']})")

        term.keys("q")
        expect(term.wait_exit() == 0, "q exits with code 0")
        term.check_restored()
        trace = term.read("trace")
        second = trace.rindex(" . Opening serial port ")
        expect(trace[:second].count("CRC FAIL\n") == 1 and "Resetting target" not in trace[:second],
               "the failed update sent no reset")
        expect(missing not in trace, "the missing port was never opened")
        check_clean_trace(trace, image, 2)
    finally:
        if term is not None:
            term.close()
        sim.stop()


def case_quit_mid_update(args, workdir):
    """q or Ctrl-C during an update (paced line) asks first; another key
    withdraws the question; asked again, a second q (exit 1) or Ctrl-C (by
    SIGINT) abandons it between ticks: the port let go, the trace says how
    far the device got, and the device gets no frame after it."""
    rows = [("q", ["q"], 1), ("C-c", ["C-c"], 128 + signal.SIGINT), ("C-c", ["q"], 1)]
    for i, (ask, leave, status) in enumerate(rows):
        # Blocks take 100 ms each: the update outlasts the keys on a loaded machine.
        sim = start_devsim(args, os.path.join(workdir, f"sim{i}"), "--flash-ms", "100", paced=True)
        term = None
        try:
            term = Terminal(workdir, f"term{i}", args.screen)
            # The trace's count of blocks left written must not be 0: a quit
            # before the first acknowledgement would rightly say 0.
            term.start_update(sim.path, acked=True)
            term.keys(ask)
            term.wait_status([QUESTION])
            term.keys("Down")  # any other key withdraws the question, and does nothing else
            wait_for(lambda: (term.status() or "").startswith("programming 0x80"), WAIT_S,
                     "the question withdrawn, the update going on")
            term.keys(ask)
            term.wait_status([QUESTION])
            term.keys(*leave)
            expect(term.wait_exit() == status, f"{ask} then {leave[0]} exits with {status}")
            term.check_restored()
            # Every frame the flushed trace says went out reaches the device (the
            # paced line may still be carrying the last), and then nothing more.
            trace = term.read("trace")
            sent = trace.count("CONTACTING...\n") + trace.count("PROG ADDR")
            m = re.search(r" \. Update abandoned: the device was left part-written, (\d+) of (\d+) "
                          r"blocks, not verified and not reset\n$", trace)
            expect(m and int(m.group(2)) == len(padded(args.image_bytes)) // 1024
                   and 0 < int(m.group(1)) <= trace.count("PROG ADDR"),
                   f"the trace's last line says the device was left part-written ({trace[-120:]!r})")
            wait_for(lambda: sim.requests() >= sent, WAIT_S, f"the device to take the {sent} frames sent")
            time.sleep(1.5)
            expect(sim.requests() == sent and sim.running(),
                   f"the device got the {sent} frames traced and none after the quit")
            sim.stop()
            summary = sim.summary()
            expect(summary["requests"]["verify"] == 0 and summary["requests"]["reset"] == 0,
                   f"the update was cut short ({summary['requests']['block']} blocks)")
        finally:
            if term is not None:
                term.close()
            sim.stop()


def case_fatal_and_signal(args, workdir):
    """A port that does not open: the report on stderr, the bell, exit 1.
    SIGTERM mid-update: the terminal given back, the trace flushed, death by
    the signal."""
    term = None
    try:
        term = Terminal(workdir, "fatal", args.screen)
        term.wait_status([" - Idle - "])
        term.type_path("/dev/fwu-test-no-such-port")
        term.keys("u")
        expect(term.wait_exit() == 1, "the failed open exits with code 1")
        term.check_restored()
        report = ("\n\nAn Error has occurred as follows:\n"
                  "          Unable to open serial port. In use already, or not present\n"
                  "Error number 2 reported\nNo such file or directory"
                  "\n\n The program will now abort\n\n\n")
        expect(term.read("stderr") == report, "standard error holds the report with errno and strerror")
        wait_for(lambda: term.bell_count() >= 1, WAIT_S, "the bell")
        expect(" . Opening serial port /dev/fwu-test-no-such-port at 115200 baud\n" in term.read("trace"),
               "the trace shows the attempt")
    finally:
        if term is not None:
            term.close()

    sim = start_devsim(args, workdir, paced=True)
    term = None
    try:
        term = Terminal(workdir, "sigterm", args.screen)
        term.start_update(sim.path)
        os.kill(term.fwu_pid, signal.SIGTERM)
        expect(term.wait_exit() == 128 + signal.SIGTERM, "SIGTERM ends it by that signal")
        term.check_restored()
        expect("PROG ADDR" in term.read("trace") and "Verifying" not in term.read("trace"),
               "the trace of the cut update was flushed")
    finally:
        if term is not None:
            term.close()
        sim.stop()


def case_port_lost(args, workdir):
    """The simulator killed mid-update (the adapter unplugged): the status
    says the port was lost, the tool lets go of it, the keys still work."""
    sim = start_devsim(args, workdir, paced=True)
    term = None
    try:
        term = Terminal(workdir, "term", args.screen)
        term.start_update(sim.path)
        expect(term.holds(sim.path), "the port is held during the update")
        os.kill(sim.pid, signal.SIGKILL)
        wait_for(lambda: "lost" in (term.status() or ""), WAIT_S, "a status that says the port was lost")
        expect(not term.holds(sim.path), "the lost port's descriptor is closed")
        term.keys("Up")  # the keys still work: the row above is chosen
        wait_for(lambda: term.ports()[0] == len(term.ports()[1]) - 1, WAIT_S, "Up after the loss")
        term.keys("q")
        expect(term.wait_exit() == 0, "q exits with code 0")
        term.check_restored()
    finally:
        if term is not None:
            term.close()
        sim.stop()


def check_refused_trace(term, paths):
    trace = term.read("trace")
    expect(trace.count(" . Refused: ") == len(paths) and "CONTACTING" not in trace
           and not any(f" . Opening serial port {p} " in trace for p in paths),
           "every refusal traced, none opened, no frame sent to a terminal")


def active_consoles():
    try:
        with open("/sys/class/tty/console/active") as f:
            return ["/dev/" + n for n in f.read().split()]
    except OSError:
        return []


def case_refusals(args, workdir):
    """/dev/tty, the tool's own terminal and the console are marked refused
    on the port list (a console discovery lists is never the default row);
    chosen, Enter says why and nothing is opened or written. A port whose
    lock file names a live process is refused naming it; a stale lock is
    taken over and removed at the end."""
    sim = start_devsim(args, workdir)
    lock = lock_file_for(sim.path)
    term = None
    try:
        term = Terminal(workdir, "term", args.screen)
        term.wait_status([" - Idle - "])
        selected, names = term.ports()
        consoles = [n for n in names if n in active_consoles()]
        expect(all(term.refused().get(n) == "the system's console" for n in consoles)
               and (selected is None or names[selected - 1] not in consoles),
               f"discovery's consoles {consoles} are marked refused and not chosen ({names})")
        rows = [("/dev/tty", "the terminal fwu runs in"), (term.pane_tty(), "the terminal fwu runs in"),
                ("/dev/console", "the system's console")]
        for path, why in rows:
            term.type_path(path)
            expect(term.refused().get(path) == why, f"{path} is marked refused: {why}")
            term.keys("Enter")
            term.wait_status([f"Refused, {why}: {path}"])
            term.keys("Up")  # the keys still work
            wait_for(lambda: term.ports()[0] == len(term.ports()[1]) - 1, WAIT_S, "Up after the refusal")
            term.keys("Down")
            wait_for(lambda: term.ports()[0] == len(term.ports()[1]), WAIT_S, "Down after the refusal")
        if lock is None:
            print("note: the lock directory is not writable here; lock cases skipped")
            term.keys("q")
            expect(term.wait_exit() == 0, "q exits with code 0")
            check_refused_trace(term, [r[0] for r in rows])
            return

        # A live process's lock (ours): refused, the report names the process.
        with open(lock, "w") as f:
            f.write("%10d\n" % os.getpid())
        term.type_path(sim.path)
        term.keys("u")
        expect(term.wait_exit() == 1, "a port locked by a live process is a fatal error")
        term.check_restored()
        expect(str(os.getpid()) in term.read("stderr") and sim.requests() == 0,
               f"the report names the holder, nothing sent ({term.read('stderr')!r})")
        check_refused_trace(term, [r[0] for r in rows])
        term.close()

        # A stale lock (a process that has ended): taken over, gone at the end.
        gone = subprocess.Popen(["true"])
        gone.wait()
        with open(lock, "w") as f:
            f.write("%10d\n" % gone.pid)
        term = Terminal(workdir, "stale", args.screen)
        term.wait_status([" - Idle - "])
        term.type_path(sim.path)
        term.keys("u")
        term.wait_status(["Programming Completed", "FAILED"], UPDATE_WAIT_S)
        expect(term.status() == "Programming Completed", "the update over a stale lock completes")
        expect(not os.path.exists(lock), "the lock file is removed when the port is let go")
        term.keys("q")
        expect(term.wait_exit() == 0, "q exits with code 0")
    finally:
        if term is not None:
            term.close()
        sim.stop()
        if lock is not None and os.path.exists(lock):
            os.unlink(lock)


def case_stopped_and_closed(args, workdir):
    """Standard output closed (fwu >&-): the screen still works and the
    terminal comes back sane. Continued after a stop, the raw modes are
    back; a SIGTSTP that stops nothing leaves the screen usable."""
    term = None
    try:
        term = Terminal(workdir, "term", args.screen, stdout=">&-")
        term.wait_status([" - Idle - "])
        raw = term.modes_now()
        expect(raw != term.read("before"), "raw modes while the screen is up")
        # Stopped, the terminal is the shell's, which sets its own modes;
        # continued, the tool puts its own back.
        os.kill(term.fwu_pid, signal.SIGSTOP)
        subprocess.run(["stty", "sane", "-F", term.pane_tty()], check=True, timeout=60)
        expect(term.modes_now() != raw, "the shell's modes while stopped")
        os.kill(term.fwu_pid, signal.SIGCONT)
        wait_for(lambda: term.modes_now() == raw, WAIT_S, "raw modes again once continued")
        # tmux's pane is an orphaned process group, where SIGTSTP stops
        # nothing: the screen must stay usable.
        os.kill(term.fwu_pid, signal.SIGTSTP)
        time.sleep(0.5)
        wait_for(lambda: term.modes_now() == raw, WAIT_S, "raw modes after a SIGTSTP that stops nothing")
        term.wait_status([" - Idle - "])
        term.keys("Down")
        wait_for(lambda: term.ports()[0] != 1 or len(term.ports()[1]) < 2, WAIT_S, "keys work")
        term.keys("q")
        expect(term.wait_exit() == 0, "q exits with code 0")
        term.check_restored()
        expect(term.read("stderr") == "", "nothing on standard error")
    finally:
        if term is not None:
            term.close()


def on_own_pty(command):
    """command with a pseudo-terminal of ours as standard input: its run,
    and what it drew there."""
    master, slave = pty.openpty()
    try:
        run = subprocess.run(command, stdin=slave, capture_output=True, text=True, timeout=WAIT_S)
        os.set_blocking(master, False)
        try:
            drawn = os.read(master, 4096)
        except OSError:  # nothing waiting
            drawn = b""
    finally:
        os.close(master)
        os.close(slave)
    return run, drawn


def case_image_options(args, workdir):
    """The screen takes update's image options: a refused image or an
    unknown argument exits 2 in the command line's words before the screen
    opens; --image writes that file (named on the screen and in the trace);
    a build carrying the bundled sample opens the screen without
    --allow-sample, says so, and sends nothing."""
    app = app_pattern(3000, 5)
    hex_path, cut = os.path.join(workdir, "app.hex"), os.path.join(workdir, "cut.hex")
    with open(hex_path, "w") as f:
        f.write(ihex([(0x08004000, app)]))
    with open(cut, "w") as f:
        f.write(ihex([(0x08004000, app)]).rsplit(":", 1)[0])
    # (arguments, refused as update refuses them, or unknown)
    refused = [(["--image", os.path.join(workdir, "missing.bin")], True),
               (["--image", cut], True), (["--image", ""], True), (["--image"], True),
               (["--format", "intel"], True), (["--format", "hex"], True),
               (["--flash-end", "5"], True), (["--allow-sample", "--allow-sample"], True),
               (["--bogus"], False), (["--image", hex_path, "update"], False)]
    for options, as_update in refused:
        run, drawn = on_own_pty([args.fwu, *options])
        if as_update:
            update = subprocess.run([args.fwu, "update", "/dev/fwu-test-no-such-port", *options],
                                    capture_output=True, text=True, timeout=WAIT_S)
            wanted = update.stderr.replace("(see `fwu update --help`)", "(see `fwu --help`)")
        else:
            wanted = f"fwu: unknown command or option: {options[-1]} (fwu --help lists them)\n"
        expect(run.returncode == 2 and run.stderr == wanted and wanted.startswith("fwu: ")
               and run.stdout == "" and drawn == b"",
               f"fwu {shlex.join(options)}: exit 2 before the screen opens, as update says it "
               f"({run.returncode}: {run.stderr.strip()!r}, {len(drawn)} bytes drawn)")

    sim = start_devsim(args, workdir)
    term = None
    try:
        term = Terminal(workdir, "image", [args.fwu, "--image", hex_path])
        crc = crc16(padded(app))
        wait_for(lambda: any(l.endswith(f"app.hex: Intel HEX, 3000 bytes, CRC-16 {crc:#06x}")
                             for l in term.screen()), WAIT_S, "the image named under the status")
        # Not start_update: three unpaced blocks can pass between two looks
        # at the screen, so no block's status is sure to be seen; the end is.
        term.wait_status([" - Idle - "])
        term.type_path(sim.path)
        term.keys("u")
        term.wait_status(["Programming Completed", "FAILED"], UPDATE_WAIT_S)
        expect(sim.wait(WAIT_S) == 0 and open(sim.dump, "rb").read() == padded(app),
               "--image's file is what the device's flash holds")
        term.keys("q")
        expect(term.wait_exit() == 0, "q exits with code 0")
        trace = term.read("trace")
        expect(f" . image {hex_path}: Intel HEX, 3000 bytes from 0x08004000" in trace,
               "the trace names the image file")
        check_clean_trace(trace, padded(app), 1)
    finally:
        if term is not None:
            term.close()
        sim.stop()

    if not os.path.samefile(args.image, os.path.join(ROOT, "res", "firmware.bin")):
        print("note: this build does not carry the bundled sample; its refusal is not tried")
        return
    sim = start_devsim(args, os.path.join(workdir, "sample-sim"))
    term = None
    try:
        term = Terminal(workdir, "sample", [args.fwu])
        term.wait_status([SAMPLE_STATUS])
        expect(any("Image: none (the bundled sample needs --allow-sample)" in l for l in term.screen()),
               "the screen opens, saying there is no image to write")
        term.type_path(sim.path)
        term.keys("Enter")
        term.keys("q")
        expect(term.wait_exit() == 0, "Enter, then q: exit 0")
        sim.stop()
        trace = term.read("trace")
        expect(" . No image to write: this build carries the bundled sample image" in trace
               and " . Update Device: nothing sent: no image to write" in trace
               and " . Opening serial port" not in trace and sim.summary()["rx_bytes"] == 0,
               "the trace says why at start-up and at Enter; no port opened, not a byte sent")
    finally:
        if term is not None:
            term.close()
        sim.stop()


CASES = {
    "image-options": case_image_options,
    "port-lost": case_port_lost,
    "refusals": case_refusals,
    "stopped-and-closed": case_stopped_and_closed,
    "no-terminal": case_no_terminal,
    "update": case_update,
    "failed-retry": case_failed_retry,
    "quit-mid-update": case_quit_mid_update,
    "fatal-and-signal": case_fatal_and_signal,
}


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser()
    ap.add_argument("--fwu", required=True)
    ap.add_argument("--devsim", required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("case", choices=list(CASES))
    args = ap.parse_args()
    for name in ("fwu", "devsim", "image", "work"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    if args.case != "no-terminal" and shutil.which("tmux") is None:
        print("SKIP tmux is not installed (scripts/install-deps.sh installs it)")
        return 77
    with open(args.image, "rb") as f:
        args.image_bytes = f.read()
    # The embedded image is the bundled sample in the default build: the
    # screen writes it only when asked.
    args.screen = [args.fwu, "--allow-sample"]
    workdir = os.path.join(args.work, args.case)
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    try:
        CASES[args.case](args, workdir)
    except Exception as e:  # noqa: BLE001 - any failure is reported with the logs
        print(f"FAIL {e}")
        if not isinstance(e, Failed):
            traceback.print_exc()
        for root, _, files in os.walk(workdir):
            for name in ("trace", "stderr", "devsim.txt"):
                if name in files:
                    text = open(os.path.join(root, name), errors="replace").read()
                    print(f"--- {os.path.join(root, name)} (last lines)")
                    print("\n".join(text.splitlines()[-15:]))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
