#!/usr/bin/env python3
"""The Linux tool through a real USB serial driver: fwu runs in a QEMU guest
whose own kernel drives an emulated FTDI FT232 (qemu-xhci, usb-serial) with
its xhci, usbserial and ftdi_sio modules; the adapter's serial line is
fwu-devsim's pseudo-terminal on this machine; QMP unplugs and replugs the
adapter for real.

  usbvm_test.py --fwu F --devsim D --image I --work DIR --cache DIR

One boot per run, every case in it, in order (each leaves the adapter
plugged in). The guest is built from this machine's packages (guest.py)
and driven through vm.py. What is seen where: the tool's output, exit
status, sysfs and the kernel's log in the guest; the line settings the
guest's driver sent to the adapter in QEMU's usb_serial_* trace events;
the speed QEMU gave the host's terminal in its termios; what the device
got in the simulator's log and flash dump.

Exit status 0 pass, 1 fail, 77 skipped: QEMU or what the guest is built
from is missing, or QEMU cannot run here (unless FWU_REQUIRE_USBVM=1, which
makes a skip a failure).
"""
import argparse
import json
import os
import re
import shutil
import signal
import sys
import termios
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import guest  # noqa: E402
import vm  # noqa: E402
from fwu_testkit.checks import Failed, crc16, expect, padded, wait_for  # noqa: E402
from fwu_testkit.devsim import Devsim  # noqa: E402

# Far past the idle figures (boot 4 s, an update of the sample image
# 10.5 s, a replug 0.5 s): the guest's one emulated CPU gets what a loaded
# machine leaves it, and its boot is all CPU.
BOOT_S = 90
UPDATE_S = 90
REPLUG_S = 10
COMMAND_S = 20        # anything else run in the guest
# From the kernel seeing the unplug to the tool's exit: about 0.1 s idle;
# the bound tells a loss seen at once from one waited out (the dialog's
# 5 s timeout), with room for a starved guest.
LOST_WITHIN_S = 4.0
SERIAL = "FT9VM0A1"
LATENCY = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"


class Rig:
    """The simulator, the guest, and what the cases share."""

    def __init__(self, args, work, kernel, initrd):
        self.args, self.work = args, work
        self.image = padded(open(args.image, "rb").read())
        self.sim = Devsim(args.devsim, work, "-v", "--keep-running", "--seconds", "900",
                          dump=os.path.join(work, "flash.bin"),
                          summary=os.path.join(work, "summary.json"))
        self.vm = None
        try:
            self.vm = vm.Vm(args.qemu, kernel, initrd, work, self.sim.path, SERIAL)
        except Exception:
            self.sim.stop()
            raise
        self.qemu_started = self.vm.started

    def sh(self, script, timeout=COMMAND_S):
        return self.vm.guest.run(script, timeout)

    def blocks_heard(self):
        return self.sim.log().count("block request")

    def wait_blocks(self, more, since, what):
        wait_for(lambda: self.blocks_heard() >= since + more or self.vm.guest.done(),
                 UPDATE_S, what)
        expect(not self.vm.guest.done(), f"the device heard {more} blocks of the update")

    def host_speed(self, speed=None):
        """The termios speeds of the host's end of the line (QEMU holds it
        open; so does the simulator). With speed, sets that first."""
        fd = os.open(self.sim.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            if speed is not None:
                attrs = termios.tcgetattr(fd)
                attrs[4] = attrs[5] = speed
                termios.tcsetattr(fd, termios.TCSANOW, attrs)
            attrs = termios.tcgetattr(fd)
            return attrs[4], attrs[5]
        finally:
            os.close(fd)

    def trace_lines(self, since=0):
        return self.vm.read("qemu-trace.txt").splitlines()[since:]

    def close(self):
        if self.vm is not None:
            self.vm.close()
        self.sim.stop()


def update_script(name, port):
    """Runs one update with the latency timer at FTDI's default first, and
    notes the timer before, during (its first other value) and after."""
    return f"""
echo 16 > {LATENCY}
before=$(cat {LATENCY})
echo "usbvm: {name} starts" > /dev/kmsg
fwu update --allow-sample --json /tmp/{name}.jsonl {port} > /tmp/{name}.out 2>&1 &
pid=$!
during=none
while kill -0 $pid 2> /dev/null; do
    now=$(cat {LATENCY} 2> /dev/null)
    if [ "$now" != "$before" ]; then during=$now; break; fi
    sleep 0.1
done
wait $pid
status=$?
echo "usbvm: {name} ended $status" > /dev/kmsg
echo "latency $before $during $(cat {LATENCY} 2> /dev/null)"
cat /tmp/{name}.out
echo "JSON $(cat /tmp/{name}.jsonl)"
exit $status
"""


def result_of(output):
    lines = [l[5:] for l in output.splitlines() if l.startswith("JSON {")]
    if not lines:
        raise Failed(f"no JSON result in the guest's output: {output[-400:]!r}")
    return json.loads(lines[-1])


def check_settings(rig, since, what):
    """The line the guest's driver asked of the adapter during one update:
    115200 (the FT232's nearest divisor), 8E1, no flow control; the latency
    timer set to 1 ms and back to 16. And the speed QEMU gave the host's
    terminal."""
    events = rig.trace_lines(since)
    last = {}
    for line in events:
        found = re.search(r"usb_serial_(set_\w+) dev \S+ (.*)$", line)
        if found:
            last[found.group(1)] = found.group(2)
    baud = re.fullmatch(r"baud rate (\d+)", last.get("set_baud", ""))
    expect(baud and abs(int(baud.group(1)) - 115200) <= 1152,
           f"{what}: the adapter was set to 115200 baud ({last.get('set_baud')})")
    expect(last.get("set_data") == "parity E, data bits 8, stop bits 1",
           f"{what}: the adapter was set to 8E1 ({last.get('set_data')})")
    expect(last.get("set_flow_control") == "flow control 0",
           f"{what}: no flow control ({last.get('set_flow_control')})")
    controls = [(int(m.group(1), 16), int(m.group(2), 16)) for m in
                (re.search(r"got control (0x[0-9a-f]+), value (0x[0-9a-f]+)", l) for l in events) if m]
    latency = [value for request, value in controls if request == 0x4009]
    expect(latency[-2:] == [1, 16],
           f"{what}: the adapter's latency timer went to 1 ms, then back to 16 ({latency})")
    # The last modem control request before the tool's low latency one sets
    # DTR and RTS low (mask 0x300, both line bits clear); the driver raised
    # them (0x303) on opening.
    low = len(controls) - 1 - controls[::-1].index((0x4009, 1))
    modem = [value for request, value in controls[:low] if request == 0x4001]
    expect(modem and modem[-1] == 0x300,
           f"{what}: DTR and RTS dropped before the update ({[hex(v) for v in modem]})")
    speeds = rig.host_speed()
    expect(speeds == (termios.B115200, termios.B115200),
           f"{what}: 115200 reached the host's terminal (speeds {speeds})")


def check_done(rig, output, status, what):
    r = result_of(output)
    expect(status == 0 and r["result"] == "done",
           f"{what}: exit 0, done ({status}, {r['result']}, {r.get('error')})")
    image_crc = f"{crc16(rig.image):#06x}"
    expect(r["image_crc"] == image_crc and r["device_crc"] == image_crc
           and r["bytes"] == len(rig.image),
           f"{what}: the device's CRC of its flash is the image's ({r['device_crc']}), "
           f"{r['bytes']} bytes")
    latency = re.search(r"^latency (\S+) (\S+) (\S+)$", output, re.M)
    expect(latency and latency.groups() == ("16", "1", "16"),
           f"{what}: the driver's latency timer read 16, 1 during the update, 16 after "
           f"({latency.groups() if latency else None})")


def run_update(rig, name, port):
    rig.host_speed(termios.B9600)  # so that the guest's setting is seen arriving
    since = len(rig.trace_lines())
    status, output = rig.sh(update_script(name, port), UPDATE_S)
    check_done(rig, output, status, f"fwu update {port}")
    check_settings(rig, since, f"fwu update {port}")


def wait_plugged(rig):
    status, output = rig.sh(f"""
i=0
while [ $i -lt {REPLUG_S * 20} ]; do
    [ -e /dev/ttyUSB0 ] && [ -n "$(ls /dev/serial/by-id 2> /dev/null)" ] && exit 0
    sleep 0.05; i=$((i + 1))
done
exit 1""", REPLUG_S + COMMAND_S)
    expect(status == 0, "the adapter came back as /dev/ttyUSB0 with its by-id link")


# -- the cases ----------------------------------------------------------------

def case_list(rig):
    """fwu list and fwu list --json show the adapter as the kernel and udev
    see it."""
    status, link = rig.sh("ls -d /dev/serial/by-id/* && readlink -f /dev/serial/by-id/*")
    names = link.split()
    expect(status == 0 and len(names) == 2 and names[1] == "/dev/ttyUSB0" and SERIAL in names[0],
           f"udev made one by-id link to /dev/ttyUSB0 ({link.strip()!r})")
    by_id = names[0]
    status, text = rig.sh("fwu list")
    rows = text.splitlines()
    expect(status == 0 and rows and rows[0].startswith("/dev/ttyUSB0 ")
           and "USB 0403:6001" in rows[0] and f"serial {SERIAL}" in rows[0]
           and "(ftdi_sio)" in rows[0] and len(rows) > 1 and rows[1].strip() == by_id,
           f"fwu list: the adapter first, 0403:6001, its serial, ftdi_sio, the link ({rows[:2]})")
    status, text = rig.sh("fwu list --json")
    ports = json.loads(text) if status == 0 else []
    usb = [p for p in ports if p.get("usb")]
    expect(len(usb) == 1 and usb[0]["path"] == "/dev/ttyUSB0" and usb[0]["vid_pid"] == "0403:6001"
           and usb[0]["serial"] == SERIAL and usb[0]["driver"] == "ftdi_sio"
           and usb[0]["stable"] == by_id,
           f"fwu list --json: one USB port with the same identity ({usb})")


def case_updates(rig):
    """An update by the device's path, then by the adapter's serial number."""
    run_update(rig, "by-path", "/dev/ttyUSB0")
    run_update(rig, "by-serial", f"usb:{SERIAL}")


def case_unplug(rig):
    """The adapter unplugged mid-update: port-lost, exit 3, at once; plugged
    back, the next update works."""
    since = rig.blocks_heard()
    rig.vm.guest.start(update_script("unplugged", "/dev/ttyUSB0"))
    rig.wait_blocks(3, since, "three blocks")
    unplugged = time.monotonic()
    rig.vm.unplug()
    status, output = rig.vm.guest.finish(UPDATE_S)
    host_s = time.monotonic() - unplugged
    r = result_of(output)
    # The device heard three block requests; the third one's acknowledgement
    # may have been cut off by the unplug, so the tool counts two or more.
    expect(status == 3 and r["result"] == "port-lost" and 2 <= r["blocks"] < 101,
           f"unplugged: exit 3, port-lost after {r['blocks']} blocks ({status}, {r['result']})")
    expect("port-lost: the port went away" in output, "the tool says the port went away")
    status, locks = rig.sh("ls /run/lock")
    expect(status == 0 and "ttyUSB0" not in locks, f"its lock file is gone ({locks.split()})")
    status, log = rig.sh("dmesg")
    start = log.rindex("usbvm: unplugged starts")
    gone = re.search(r"\[ *([0-9.]+)\] usb \S+: USB disconnect", log[start:])
    ended = re.search(r"\[ *([0-9.]+)\] usbvm: unplugged ended", log[start:])
    expect(gone and ended, "the kernel logged the disconnect, then the tool's end")
    lost_s = float(ended.group(1)) - float(gone.group(1))
    expect(0 <= lost_s <= LOST_WITHIN_S,
           f"the tool ended {lost_s:.3f} s after the kernel saw the unplug "
           f"({host_s:.2f} s after device_del, as seen from here)")
    rig.times["port lost after unplug (guest)"] = lost_s
    rig.vm.plug(SERIAL)
    wait_plugged(rig)
    run_update(rig, "replugged", "/dev/ttyUSB0")


def case_screen_lost(rig):
    """The Linux screen on a terminal of the guest (its third serial port):
    Enter starts an update of the first row, the adapter; the unplug shows
    the lost status; q exits 0."""
    status, _ = rig.sh("""
stty -F /dev/ttyS2 rows 24 cols 80
rm -f /tmp/screen.rc
setsid sh -c 'fwu --allow-sample < /dev/ttyS2 > /tmp/screen.trace 2> /tmp/screen.err; echo $? > /tmp/screen.rc' \
    < /dev/null > /dev/null 2>&1 &
""")
    screen = rig.vm.screen
    wait_for(lambda: "> 1  /dev/ttyUSB0" in screen.text(), COMMAND_S,
             "the screen listing the adapter first, chosen")
    since = rig.blocks_heard()
    screen.send(b"\r")
    rig.wait_blocks(3, since, "three blocks from the screen")
    rig.vm.unplug()
    wait_for(lambda: "Port lost (unplugged?)" in screen.text(), COMMAND_S,
             "the screen's lost status")
    expect(True, "the screen says the port was lost")
    screen.send(b"q")
    end = time.monotonic() + COMMAND_S
    rc = ""
    while not rc and time.monotonic() < end:
        rc = rig.sh("cat /tmp/screen.rc 2> /dev/null || sleep 0.2")[1].strip()
    if not rc:
        _, state = rig.sh("ps; cat /tmp/screen.err")
        raise Failed(f"the screen did not end after q: {state!r}; it shows "
                     f"{screen.text()[-300:]!r}")
    expect(rc == "0", f"q exits the screen with 0 ({rc!r})")
    rig.vm.plug(SERIAL)
    wait_plugged(rig)


# What the bench case writes (raw, forced: it is text), over the first block
# of the sample the cases before left in the simulator's flash.
BENCH_IMAGE = b"usbvm bench image"


def case_bench_replug(rig):
    """The production bench on the adapter's serial number, with an image the
    simulator's boot loader does not hold yet (it holds the sample from the
    cases before): its first device written and reset; the adapter unplugged
    and plugged back, the slot waits, asks the unit that comes back, and
    records it as already holding the image (it is the same unit: the
    simulator's boot loader never goes away otherwise)."""
    rig.vm.guest.start(f"""
rm -f /tmp/bench.jsonl
printf '{BENCH_IMAGE.decode()}' > /tmp/bench.bin
fwu update --continuous --count 2 --image /tmp/bench.bin --format bin --no-vector-check \\
    --json /tmp/bench.jsonl usb:{SERIAL} > /tmp/bench.out 2>&1
status=$?
cat /tmp/bench.out
echo "JSONS $(wc -l < /tmp/bench.jsonl)"
cat /tmp/bench.jsonl | sed 's/^/JSON /'
exit $status
""")
    resets = rig.sim.log().count("reset request")
    wait_for(lambda: rig.sim.log().count("reset request") > resets or rig.vm.guest.done(),
             UPDATE_S, "the slot's first device reset")
    expect(not rig.vm.guest.done(), "the slot's first device was written and reset")
    time.sleep(1)  # its record written; the slot sees the device stay
    rig.vm.unplug()
    time.sleep(2)  # the slot sees its adapter gone and waits
    rig.vm.plug(SERIAL)
    status, output = rig.vm.guest.finish(UPDATE_S + REPLUG_S)
    records = [json.loads(l[5:]) for l in output.splitlines() if l.startswith("JSON {")]
    expect(status == 0 and [(r["slot"], r["sequence"], r["result"]) for r in records] ==
           [(1, 1, "done"), (1, 2, "current")],
           f"the slot carried on after the replug: the device done, then found current, exit 0 "
           f"({status}, {[(r.get('sequence'), r.get('result')) for r in records]})")
    wait_plugged(rig)


CASES = [
    ("list", case_list),
    ("update", case_updates),
    ("unplug", case_unplug),
    ("screen-lost", case_screen_lost),
    ("bench-replug", case_bench_replug),
]


# -- the run ------------------------------------------------------------------

def missing_prerequisite(args):
    if shutil.which(args.qemu) is None:
        return f"{args.qemu} is missing (scripts/install-deps.sh test)"
    return guest.missing_tools()


def skip(why):
    print(f"SKIP {why}")
    return 1 if os.environ.get("FWU_REQUIRE_USBVM") == "1" else 77


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))  # still clean up
    ap = argparse.ArgumentParser()
    ap.add_argument("--fwu", required=True)
    ap.add_argument("--devsim", required=True)
    ap.add_argument("--image", required=True, help="the image the tool embeds")
    ap.add_argument("--work", required=True)
    ap.add_argument("--cache", required=True, help="where the guest's kernel is kept")
    ap.add_argument("--qemu", default="qemu-system-x86_64")
    args = ap.parse_args()
    why = missing_prerequisite(args)
    if why:
        return skip(why)
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    started = time.monotonic()
    try:
        kernel, initrd, release = guest.build(os.path.abspath(args.fwu), args.cache, work)
    except guest.GuestError as e:
        return skip(f"the guest cannot be built here: {e}")
    print(f"guest: kernel {release}, built in {time.monotonic() - started:.1f} s", flush=True)
    rig = None
    try:
        try:
            rig = Rig(args, work, kernel, initrd)
        except vm.VmError as e:
            return skip(f"QEMU cannot run here: {e}")
        rig.times = {}
        uptime, usb = rig.vm.guest.ready(time.monotonic() + BOOT_S)
        boot_s = time.monotonic() - rig.qemu_started
        rig.times["boot to ttyUSB0 ready"] = boot_s
        expect(usb, f"the guest booted and its kernel made /dev/ttyUSB0 and the by-id link "
                    f"({boot_s:.1f} s from QEMU's start, {uptime:.1f} s of guest uptime)")
        for name, case in CASES:
            print(f"--- {name}: {' '.join(case.__doc__.split())}", flush=True)
            began = time.monotonic()
            case(rig)
            rig.times[name] = time.monotonic() - began
        rig.close()
        with open(os.path.join(work, "flash.bin"), "rb") as f:
            bench = BENCH_IMAGE.ljust(1024, b"\0")
            expect(f.read() == bench + rig.image[len(bench):],
                   "the device's flash holds the bench's padded image over the sample's "
                   "first block, and the rest of the sample")
        rig.times["whole run"] = time.monotonic() - started
        print("times: " + ", ".join(f"{k} {v:.2f} s" for k, v in rig.times.items()))
    except Exception as e:  # noqa: BLE001 - any failure is reported with the logs
        print(f"FAIL {e}")
        if not isinstance(e, (Failed, vm.VmError)):
            traceback.print_exc()
        for name in ("console.txt", "qemu.txt", "qemu-trace.txt", "devsim.txt", "screen.txt"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                print(f"--- {name} (last lines)")
                print("\n".join(open(path, errors="replace").read().splitlines()[-15:]))
        return 1
    finally:
        if rig is not None:
            rig.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
