"""fwu-bench's line and tables: the wire's arithmetic, the timing model of
the terminal screen's cadence, the records of a run, and the Markdown
tables bench.py prints from them."""
import collections

from fwu_testkit import winelab
from fwu_testkit.checks import padded

# The tools in the tables, by runner.
RUNNER_SHORT_NAMES = {"engine": "terminal screen's cadence (engine)", "cli": "fwu update"}

# -- the line ----------------------------------------------------------------------

LINE_BAUD = 115200
LINE_BITS_PER_BYTE = 11          # start, 8 data, parity, stop
BLOCK_SIZE = 1024
APP_FLASH_BYTES = 1008 * 1024    # the device's flash from 0x08004000 up
BLOCK_FRAME_BYTES = BLOCK_SIZE + 11
BLOCK_ACK_BYTES = 11             # what fwu-devsim answers a block with
CRC_REQUEST_BYTES = 13           # a contact probe or the verify request
CRC_REPLY_BYTES = 15             # fwu-devsim's answer to either
RESET_REQUEST_BYTES = 5
MAX_FLASH_MS = 10000
# The engine's and the session's timing rules, for the model.
TICK_MS = 10
READ_INTERVAL_MS = 20
READ_TOTAL_MS = 100
PROBE_PAUSE_MS = 100

# view: the device's view of the update, from its request log.
Device = collections.namedtuple("Device", "summary span_ms cpu_ms flash_ok view")
Row = collections.namedtuple("Row", "image flash_ms runner tool devices problem")
# When the device heard requests (ms on its own clock): the first probe to
# the first block (link_ms), between one block and the next (block_gaps_ms),
# the last block to the last reset (tail_ms), first probe to last reset
# (span_ms). None where a request kind is missing.
View = collections.namedtuple("View", "span_ms link_ms block_gaps_ms tail_ms")


WineResult = collections.namedtuple("WineResult", "ok problem span_ms click_ms wire_s view")


# -- the model: what the engine's timing rules make of a paced line ---------------

def wire_ms(nbytes):
    return nbytes * LINE_BITS_PER_BYTE * 1000.0 / LINE_BAUD


def model_block_ms(ack_ms):
    """Time from writing a block to writing the next, for an ack fully
    arrived ack_ms after the write. The next step comes a tick after the
    write; each step's read lasts READ_TOTAL_MS, or ends READ_INTERVAL_MS
    after the last byte if that is sooner; a step that reads nothing is
    followed a tick later by another."""
    step = TICK_MS
    for _ in range(1000):
        total_end = step + READ_TOTAL_MS
        if ack_ms <= total_end:
            return min(max(ack_ms, step) + READ_INTERVAL_MS, total_end)
        step = total_end + TICK_MS
    return -1


def model_link_ms():
    """Press to the first block: a tick, the first probe and its pause (not
    read), a tick, the second probe and its pause, a read that finds both
    replies together (rejected; it ends 20 ms after them), a tick, the third
    probe, its pause and its reply (accepted, 20 ms of quiet)."""
    return 3.0 * TICK_MS + 3.0 * PROBE_PAUSE_MS + 2.0 * READ_INTERVAL_MS


def model_tail_ms():
    """Last ack to Done: verify and reset replies are short and already
    there when the next step reads, so each costs a tick and the read's
    quiet time."""
    return 2.0 * (TICK_MS + READ_INTERVAL_MS)


def block_ack_ms(flash_ms):
    return wire_ms(BLOCK_FRAME_BYTES + BLOCK_ACK_BYTES) + flash_ms


def model_total_ms(blocks, flash_ms):
    return model_link_ms() + blocks * model_block_ms(block_ack_ms(flash_ms)) + model_tail_ms()


# -- tables -----------------------------------------------------------------------

def device_label(flash_ms):
    return "instant" if flash_ms == 0 else f"{flash_ms} ms/block"


def row_wire_s(row):
    """The wire limit: the busiest device's bytes both ways."""
    return max(wire_ms(d.summary["rx_bytes"] + d.summary["tx_bytes"]) for d in row.devices) / 1000


def fmt(value, form):
    return "-" if value is None or value < 0 else format(value, form)


def print_tables(rows):
    print("| image | device | update s | wire limit s | ratio | wire + flash s | ratio | "
          "tool CPU | tool peak RSS | sim CPU |")
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|")
    for r in rows:
        if r.problem:
            print(f"| {r.image.label} | {device_label(r.flash_ms)} | failed: {r.problem} |")
            continue
        update = r.tool.elapsed_ms / 1000
        wire = row_wire_s(r)
        floor = wire + r.devices[0].summary["blocks_programmed"] * r.flash_ms / 1000
        sim_elapsed = sum(d.summary.get("elapsed_ms", 0) for d in r.devices)
        sim_cpu = sum(d.cpu_ms or 0 for d in r.devices)
        print(f"| {r.image.label} | {device_label(r.flash_ms)} | {update:.3f} | {wire:.3f} | "
              f"{update / wire:.3f} | {floor:.3f} | {update / floor:.3f} | "
              f"{100 * r.tool.cpu_ms / r.tool.elapsed_ms:.2f} % | "
              f"{fmt(r.tool.peak_rss_kib and r.tool.peak_rss_kib / 1024, '.1f')} MiB | "
              f"{100 * sim_cpu / sim_elapsed if sim_elapsed > 0 else 0:.2f} % |")

    print("\nWhere the time goes (measured, and modelled from the engine's timing rules):\n")
    print("| image | device | blocks | link ms (model) | per block ms: mean (model) | "
          "median | max | reads per block | block wire ms | verify+reset ms (model) | "
          "model total s | device view s |")
    print("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    for r in rows:
        if r.problem:
            continue
        blocks = len(padded(r.image.raw)) // BLOCK_SIZE
        p = r.tool.phases or {}
        mean = p["blocks_ms"] / blocks if p.get("blocks_ms") is not None else None
        span = max((d.span_ms for d in r.devices if d.span_ms is not None), default=None)
        print(f"| {r.image.label} | {device_label(r.flash_ms)} | {blocks} | "
              f"{fmt(p.get('link_ms'), '.1f')} ({model_link_ms():.0f}) | "
              f"{fmt(mean, '.2f')} ({model_block_ms(block_ack_ms(r.flash_ms)):.2f}) | "
              f"{fmt(p.get('block_median_ms'), '.2f')} | {fmt(p.get('block_max_ms'), '.2f')} | "
              f"{fmt(p.get('reads_per_block'), '.2f')} | "
              f"{wire_ms(BLOCK_FRAME_BYTES + BLOCK_ACK_BYTES):.2f} | "
              f"{fmt(p.get('tail_ms'), '.1f')} ({model_tail_ms():.0f}) | "
              f"{model_total_ms(blocks, r.flash_ms) / 1000:.3f} | "
              f"{fmt(span / 1000 if span is not None else None, '.3f')} |")


def device_floor_s(device, flash_ms):
    """A device's own floor: its bytes both ways on the wire, plus its
    programming time for the blocks it programmed."""
    s = device.summary
    return (wire_ms(s["rx_bytes"] + s["tx_bytes"]) + s["blocks_programmed"] * flash_ms) / 1000


def worst_mean(values, form):
    if not values:
        return "-"
    return f"{format(max(values), form)} / {format(sum(values) / len(values), form)}"


def percentile(sorted_values, share):
    return sorted_values[int(share * (len(sorted_values) - 1))] if sorted_values else None


def tool_name(key, devices):
    if key == "cli":
        return f"fwu update, {devices} device{'s' if devices != 1 else ''}"
    return RUNNER_SHORT_NAMES[key]


def wine_name(args):
    build = "win32" if winelab.loader_for(args.wine_exe) == winelab.WINE32 else "win64"
    return f"dialog: fwu.exe ({build}) under Wine"


def print_side_by_side(args, rows, wine, wine_image):
    """Every runner's rows in one table, each device against its own floor
    (wire + flash); several devices at once also against the same tool's
    one-device row."""
    print("\nThe tools side by side: each device against its own wire + flash time "
          "(its bytes both ways, plus blocks x programming time); with several devices the "
          "worst and the mean over them; \"vs 1 device\" is the worst device's time over "
          "the same tool's one-device time (update / device view); the device view runs "
          "from the first probe heard to the last reset heard; tool CPU is a share of one "
          "core, per device:\n")
    print("| image | device | tool | update s: worst / mean | device view s: worst / mean | "
          "wire + flash s | ratio (update): worst / mean | ratio (device view): worst / mean | "
          "vs 1 device | tool CPU per device | tool peak RSS |")
    print("|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|")
    singles = {(r.image.label, r.flash_ms, r.runner): r for r in rows
               if not r.problem and len(r.devices) == 1}
    for r in rows:
        head = f"| {r.image.label} | {device_label(r.flash_ms)} | {tool_name(r.runner, len(r.devices))} |"
        if r.problem:
            print(f"{head} failed: {r.problem} |")
            continue
        update = [ms / 1000 for ms in r.tool.device_ms]
        views = [d.view.span_ms / 1000 if d.view.span_ms is not None else None
                 for d in r.devices]
        floors = [device_floor_s(d, r.flash_ms) for d in r.devices]
        r_update = [u / f for u, f in zip(update, floors)]
        r_view = [v / f for v, f in zip(views, floors) if v is not None]
        views = [v for v in views if v is not None]
        versus = "-"
        single = singles.get((r.image.label, r.flash_ms, r.runner))
        if len(r.devices) > 1 and single is not None:
            ref_update = single.tool.device_ms[0] / 1000
            ref_view = single.devices[0].view.span_ms
            versus = f"{max(update) / ref_update:.3f}"
            if ref_view and views:
                versus += f" / {max(views) / (ref_view / 1000):.3f}"
        cpu = "-"
        if r.tool.cpu_ms is not None and r.tool.wall_ms:
            cpu = f"{100 * r.tool.cpu_ms / r.tool.wall_ms / len(r.devices):.2f} %"
        rss = fmt(r.tool.peak_rss_kib and r.tool.peak_rss_kib / 1024, ".1f")
        print(f"{head} {worst_mean(update, '.3f')} | {worst_mean(views, '.3f')} | "
              f"{sum(floors) / len(floors):.3f} | {worst_mean(r_update, '.3f')} | "
              f"{worst_mean(r_view, '.3f')} | {versus} | {cpu} | {rss} MiB |")
    if wine is not None:
        head = f"| {wine_image.label} | {device_label(0)} | {wine_name(args)} |"
        if wine.ok:
            click, span = wine.click_ms / 1000, wine.span_ms / 1000
            print(f"{head} {click:.3f} (click to \"Programming Completed\" seen) | {span:.3f} | "
                  f"{wine.wire_s:.3f} | {click / wine.wire_s:.3f} | {span / wine.wire_s:.3f} | "
                  f"- | - | - |")
        else:
            print(f"{head} failed: {wine.problem} |")


def print_device_view(args, rows, wine, wine_image):
    """Where the time goes, as the device saw it, for every tool alike."""
    print("\nWhere the time goes, as the device heard the requests (every device of a row "
          "together; link and verify + reset are means over the devices): first probe to "
          "first block heard (link), block to block, last block to last reset heard "
          "(verify + reset), each against its floor: the bytes on the wire in between, plus "
          "the programming time of a block:\n")
    print("| image | device | tool | link ms (floor) | per block ms: floor | median | mean | "
          "p95 | max | blocks over floor + 5 ms | over the floor per block, mean ms | "
          "verify + reset ms (floor) |")
    print("|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|")
    table = [(r.image, r.flash_ms, tool_name(r.runner, len(r.devices)),
              [d.view for d in r.devices]) for r in rows if not r.problem]
    if wine is not None and wine.ok:
        table.append((wine_image, 0, wine_name(args), [wine.view]))
    for image, flash_ms, name, views in table:
        floor = block_ack_ms(flash_ms)
        # The probe's answer, then the first block's frame; the last ack (after
        # the programming time), the verify request and answer, the reset.
        first_block = min(len(image.raw), BLOCK_SIZE) + BLOCK_FRAME_BYTES - BLOCK_SIZE
        link_floor = wire_ms(CRC_REPLY_BYTES + first_block)
        tail_floor = flash_ms + wire_ms(BLOCK_ACK_BYTES + CRC_REQUEST_BYTES + CRC_REPLY_BYTES +
                                        RESET_REQUEST_BYTES)
        gaps = sorted(g for v in views for g in v.block_gaps_ms)
        links = [v.link_ms for v in views if v.link_ms is not None]
        tails = [v.tail_ms for v in views if v.tail_ms is not None]
        mean = sum(gaps) / len(gaps) if gaps else None
        print(f"| {image.label} | {device_label(flash_ms)} | {name} | "
              f"{fmt(sum(links) / len(links) if links else None, '.1f')} ({link_floor:.1f}) | "
              f"{floor:.2f} | "
              f"{fmt(percentile(gaps, 0.5), '.2f')} | {fmt(mean, '.2f')} | "
              f"{fmt(percentile(gaps, 0.95), '.2f')} | {fmt(gaps[-1] if gaps else None, '.2f')} | "
              f"{sum(1 for g in gaps if g > floor + 5)} of {len(gaps)} | "
              f"{format(mean - floor, '.2f') if mean is not None else '-'} | "
              f"{fmt(sum(tails) / len(tails) if tails else None, '.1f')} ({tail_floor:.1f}) |")


def print_wine(args, native, wine):
    build = "win32" if winelab.loader_for(args.wine_exe) == winelab.WINE32 else "win64"
    print("\nThe native tool and fwu.exe under Wine, the same embedded image, an instant "
          "device, the line paced (device view: first probe heard to last reset heard, "
          "from the simulator's log):\n")
    print("| tool | update s | device view s | wire limit s | ratio (device view) | "
          "ratio (update) |")
    print("|---|--:|--:|--:|--:|--:|")
    if native is not None and not native.problem and native.devices[0].span_ms is not None:
        wire, span = row_wire_s(native), native.devices[0].span_ms / 1000
        update = native.tool.elapsed_ms / 1000
        print(f"| native engine + POSIX serial link, {native.image.label} | {update:.3f} "
              f"(press to Done) | {span:.3f} | {wire:.3f} | {span / wire:.3f} | "
              f"{update / wire:.3f} |")
    else:
        print("| native engine + POSIX serial link | failed | | | | |")
    if wine.ok:
        span, click = wine.span_ms / 1000, wine.click_ms / 1000
        print(f"| fwu.exe ({build}) under Wine | {click:.3f} (click to \"Programming "
              f"Completed\" seen) | {span:.3f} | {wine.wire_s:.3f} | {span / wine.wire_s:.3f} | "
              f"{click / wine.wire_s:.3f} |")
    else:
        print(f"| fwu.exe ({build}) under Wine | failed: {wine.problem} | | | | |")
