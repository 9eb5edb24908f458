"""What the end-to-end drivers of both tools share: the way a check is
reported, the image as the tool pads it (and patterns and Intel HEX to make
one), and the trace of one clean update.
"""
import re
import struct
import time


class Failed(Exception):
    pass


STARTED = time.time()


def expect(ok, what):
    if not ok:
        raise Failed(what)
    print(f"ok   {time.time() - STARTED:5.1f}s  {what}", flush=True)


def padded(image):
    """The image as the tool holds it: zeros to whole 1024-byte blocks."""
    blocks = max(1, (len(image) + 1023) // 1024)
    return image + bytes(blocks * 1024 - len(image))


def crc16(data):
    """CRC-16/MODBUS, as the tool and the device take it of the padded image."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def pattern(size, seed):
    """size bytes that vary with seed and position (the C++ testkit's
    test_pattern): a raw image."""
    return bytes((((i + seed) * 151) ^ (i >> 9) ^ seed) & 0xFF for i in range(size))


def app_pattern(size, seed):
    """A pattern that starts as an application does, with a Cortex-M vector
    table (initial SP in SRAM, an odd reset vector inside it), so that the
    tool's vector check passes it."""
    return struct.pack("<II", 0x20010000, 0x08004000 + 0x41) + pattern(size - 8, seed)


def ihex(parts):
    """Intel HEX text for [(address, bytes), ...]: 16 data bytes a record,
    an extended linear address record at every 64 KiB."""
    def record(kind, offset, data):
        body = bytes([len(data), offset >> 8, offset & 0xFF, kind]) + data
        return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\n"
    lines, upper = [], None
    for address, data in parts:
        for i in range(0, len(data), 16):
            at = address + i
            if at >> 16 != upper:
                upper = at >> 16
                lines.append(record(4, 0, upper.to_bytes(2, "big")))
            lines.append(record(0, at & 0xFFFF, data[i:i + 16]))
    return "".join(lines) + record(1, 0, b"")


def hex_c(value):
    """printf's %#x: 0x-prefixed lower-case hex, except a plain 0."""
    return f"{value:#x}" if value else "0"


def wait_for(predicate, timeout, what):
    end = time.time() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.time() > end:
            raise Failed(f"timed out waiting for {what}")
        time.sleep(0.05)


def check_update_trace(trace, image_size, attempts=1):
    """The texts of one clean update, in order, at the end of the trace."""
    blocks = image_size // 1024
    last = trace.rindex(" . Opening serial port")
    run = trace[last:]
    order = ["CONTACTING...\n", "RX:", "REMOTE DEVICE LINK ESTABLISHED\n"]
    order += [f"PROG ADDR {hex_c(0x08004000 + 1024 * i)}, LEN 0x400, FROM {hex_c(1024 * i)}..."
              for i in range(blocks)]
    order += [f"Verifying address 0x8004000, image size {hex_c(image_size)} bytes\n",
              "frame length   13 bytes sent\n", "Remote CRC ", "Local  CRC ", "CRCs match\n",
              "Resetting target\n", "frame length    5 bytes sent\n",
              "frame length    5 bytes received & OK\n"]
    at = 0
    for text in order:
        found = run.find(text, at)
        if found < 0:
            raise Failed(f"trace: {text!r} missing or out of order")
        at = found + len(text)
    expect(True, f"the trace carries link, {blocks} PROG ADDR lines, verify, CRCs match and reset, in order")
    lines = [l for l in run.splitlines() if l.startswith("PROG ADDR")]
    expect(len(lines) == blocks and all(l.endswith("- SENT - - OK") for l in lines),
           "one PROG ADDR line per block, each sent and acknowledged")
    remote = re.search(r"Remote CRC (0x[0-9a-f]+|0)\n", run).group(1)
    local = re.search(r"Local  CRC (0x[0-9a-f]+|0)\n", run).group(1)
    expect(remote == local, f"remote and local CRC agree ({remote})")

