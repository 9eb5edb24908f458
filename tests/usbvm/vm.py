"""The usbvm guest under qemu-system-x86_64 (TCG, 1 vCPU, 256 MB), with an
emulated FTDI adapter (qemu-xhci, usb-serial) whose serial line is a
character device on this machine, and the ways the harness reaches it:

  Qmp     QEMU's monitor protocol: device_del / device_add of the adapter
  Guest   the command channel, the guest's second serial port (init.sh)
  Screen  the guest's third serial port, a terminal for the Linux screen
  files   in the work directory: the guest's console (console.txt), QEMU's
          own messages (qemu.txt), its usb_serial_* trace events
          (qemu-trace.txt)

The sockets of the three channels lie in a short directory of their own
under /tmp (a socket's path has at most 107 bytes), removed at close.

QEMU is started as a child that dies with the harness and is stopped by
its PID.
"""
import base64
import json
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time

from fwu_testkit import process

ADAPTER_ID = "adapter"
CHARDEV_ID = "line"
# The adapter's line settings and its control requests (the latency timer
# among them) as the guest's driver sends them.
TRACE_EVENTS = ("usb_serial_set_*", "usb_serial_handle_control", "usb_serial_reset")


class VmError(Exception):
    pass


def _opt(path):
    """A path as a value in one of QEMU's option lists (a comma doubled)."""
    return path.replace(",", ",,")


def qemu_command(qemu, kernel, initrd, work, sockets, line_path, serial):
    """QEMU's arguments; its sockets in the directory sockets (a short
    path: a socket's name has at most 107 bytes)."""
    return [qemu, "-accel", "tcg", "-machine", "q35", "-cpu", "max", "-smp", "1", "-m", "256",
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", kernel, "-initrd", initrd,
            "-append", "console=ttyS0 loglevel=4 panic=-1 rdinit=/init",
            "-chardev", f"file,id=console,path={_opt(os.path.join(work, 'console.txt'))}",
            "-serial", "chardev:console",
            "-chardev", f"socket,id=control,path={_opt(os.path.join(sockets, 'control'))},server=on,wait=off",
            "-serial", "chardev:control",
            "-chardev", f"socket,id=screen,path={_opt(os.path.join(sockets, 'screen'))},server=on,wait=off",
            "-serial", "chardev:screen",
            "-chardev", f"socket,id=qmp,path={_opt(os.path.join(sockets, 'qmp'))},server=on,wait=off",
            "-mon", "chardev=qmp,mode=control",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", f"serial,id={CHARDEV_ID},path={_opt(line_path)}",
            "-device", adapter_args(serial)["driver"] + "," + ",".join(
                f"{k}={v}" for k, v in adapter_args(serial).items() if k != "driver"),
            "-D", os.path.join(work, "qemu-trace.txt"),
            *[a for e in TRACE_EVENTS for a in ("-trace", e)]]


def adapter_args(serial):
    """The usb-serial device: an FTDI FT232 with this serial number on the
    xhci bus, its line the chardev."""
    return {"driver": "usb-serial", "id": ADAPTER_ID, "bus": "xhci.0", "serial": serial,
            "chardev": CHARDEV_ID}


def _connect(path, deadline):
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise VmError(f"QEMU never opened {path}")
            time.sleep(0.05)


class Lines:
    """Lines from a stream socket, with a deadline on each."""

    def __init__(self, sock):
        self.sock, self.buffer = sock, b""

    def line(self, deadline, what):
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise VmError(f"timed out waiting for {what}")
            ready, _, _ = select.select([self.sock], [], [], left)
            if ready:
                data = self.sock.recv(65536)
                if not data:
                    raise VmError(f"QEMU closed the connection waiting for {what}")
                self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode(errors="replace").rstrip("\r")


class Qmp:
    def __init__(self, path, deadline):
        self.sock = _connect(path, deadline)
        self.lines = Lines(self.sock)
        self.events = []
        self.lines.line(deadline, "the QMP greeting")
        self.command("qmp_capabilities")

    def command(self, name, timeout=30, **arguments):
        """Runs a command; returns its "return" value (events met on the way
        are kept in .events)."""
        request = {"execute": name}
        if arguments:
            request["arguments"] = arguments
        self.sock.sendall(json.dumps(request).encode() + b"\n")
        deadline = time.monotonic() + timeout
        while True:
            reply = json.loads(self.lines.line(deadline, f"QMP {name}"))
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise VmError(f"QMP {name}: {reply['error']}")
            elif "return" in reply:
                return reply["return"]

    def close(self):
        self.sock.close()


class Guest:
    """The command channel to init.sh's loop."""

    def __init__(self, path, deadline):
        self.sock = _connect(path, deadline)
        self.lines = Lines(self.sock)
        self.next_id, self.pending = 1, None

    def ready(self, deadline):
        """Waits for the guest's READY line: (its uptime in seconds, whether
        the adapter came)."""
        while True:
            words = self.lines.line(deadline, "the guest to boot").split()
            if len(words) == 3 and words[0] == "READY":
                return float(words[1]), words[2] == "usb"

    def start(self, script):
        """Sends a shell script to run; finish() collects it."""
        if self.pending is not None:
            raise VmError("a guest command is still running")
        self.pending = self.next_id
        self.next_id += 1
        encoded = base64.b64encode(script.encode()).decode()
        self.sock.sendall(f"RUN {self.pending} {encoded}\n".encode())

    def finish(self, timeout):
        """(exit status, output) of the command started last."""
        deadline = time.monotonic() + timeout
        what = f"guest command {self.pending}"
        while self.lines.line(deadline, what) != f"OUT {self.pending}":
            pass
        encoded = []
        while True:
            line = self.lines.line(deadline, what)
            if line.startswith(f"END {self.pending} "):
                status = int(line.split()[2])
                break
            encoded.append(line)
        self.pending = None
        return status, base64.b64decode("".join(encoded)).decode(errors="replace")

    def done(self):
        """Whether the command started last has ended (its result waits)."""
        while select.select([self.sock], [], [], 0)[0]:
            data = self.sock.recv(65536)
            if not data:
                break
            self.lines.buffer += data
        return f"\nEND {self.pending} ".encode() in b"\n" + self.lines.buffer

    def run(self, script, timeout):
        self.start(script)
        return self.finish(timeout)

    def close(self):
        self.sock.close()


ESCAPE = re.compile(r"\x1b(\[[0-9;?]*[ -/]*[@-~]|[@-_])")


class Screen:
    """A terminal of the guest: what it is sent is typed, what it shows is
    kept (raw, in screen.txt)."""

    def __init__(self, path, deadline, log):
        self.sock = _connect(path, deadline)
        self.raw, self.log = b"", log

    def send(self, keys):
        self.sock.sendall(keys)

    def text(self):
        """Everything shown so far, without the escape sequences."""
        while select.select([self.sock], [], [], 0)[0]:
            data = self.sock.recv(65536)
            if not data:
                break
            self.raw += data
            with open(self.log, "ab") as f:
                f.write(data)
        return ESCAPE.sub("", self.raw.decode(errors="replace"))

    def close(self):
        self.sock.close()


class Vm:
    """QEMU started, its QMP and command channel connected."""

    def __init__(self, qemu, kernel, initrd, work, line_path, serial, connect_s=30):
        self.work = work
        self.sockets = tempfile.mkdtemp(prefix="fwu-usbvm-", dir="/tmp")
        self.started = time.monotonic()
        command = qemu_command(qemu, kernel, initrd, work, self.sockets, line_path, serial)
        with open(os.path.join(work, "qemu.txt"), "wb") as out:
            self.proc = process.start(command, stdout=out, stderr=subprocess.STDOUT)
        self.qmp = self.guest = self.screen = None
        deadline = time.monotonic() + connect_s
        try:
            self.qmp = Qmp(os.path.join(self.sockets, "qmp"), deadline)
            self.guest = Guest(os.path.join(self.sockets, "control"), deadline)
            self.screen = Screen(os.path.join(self.sockets, "screen"), deadline,
                                 os.path.join(work, "screen.txt"))
        except VmError:
            self.close()
            raise VmError(f"QEMU did not start: {self.read('qemu.txt')[-400:]!r}")

    def read(self, name):
        try:
            with open(os.path.join(self.work, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def unplug(self):
        self.qmp.command("device_del", id=ADAPTER_ID)

    def plug(self, serial):
        self.qmp.command("device_add", **adapter_args(serial))

    def close(self):
        for channel in (self.guest, self.qmp, self.screen):
            if channel is not None:
                channel.close()
        process.stop(self.proc, timeout=10)
        shutil.rmtree(self.sockets, ignore_errors=True)
