#!/usr/bin/env python3
"""fwu-bench, the command line's other modes: `fwu verify`, and the
production bench (`fwu update --continuous`) on one slot and on eight at
once. Each row runs fwu-devsim on a pseudo-terminal paced at 115200 8E1 with
a device that answers at once, and measures from the device's side (its -v
log: when it heard each request and whether it answered):

  verify      from the device's first answered probe to the last region-CRC
              request it heard, plus that reply's time on the wire; beside
              the same image written by `fwu update` (first answered probe
              to the reset heard).
  continuous  for every device on a slot (fwu-devsim --devices N, one after
              another): first answered probe to first block heard, beside a
              single `fwu update` run's; and each device's whole update.
  slots       N slots at once (N simulators with --devices each): every
              device's update time against one slot alone.
  lost-ack    `fwu update` of a device whose fifth block ack is lost
              (--drop block:5) beside a clean one: first answered probe to
              the reset heard, and what the lost ack cost.
  slow-flash  `fwu update` of a device that takes 25 ms a block: the
              requests resent (its JSON line's resends).
  swap        the bench on one slot whose next device comes 0.3 s after the
              last left (--swap-ms 300): each device's first answered probe
              to its first block heard.

Prints Markdown tables. A measurement, not a test: nothing passes or fails
on time, only on a device that was not updated or verified right.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import sys
import time

from fwu_testkit import process
from fwu_testkit.checks import app_pattern, padded
from fwu_testkit.devsim import Devsim

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "build", "native")
LINE = re.compile(r"fwu-devsim:\s+([0-9.]+) ms (?:device (\d+): )?(\w+) request: (\w+)")
REPLY_15_MS = 15 * 11 / 115200 * 1000  # a region-CRC reply on the wire


class BenchError(Exception):
    pass


def heard(log_text):
    """(ms, device, kind, answered) for every request the simulator heard."""
    return [(float(t), int(d or 1), kind, what == "reply")
            for t, d, kind, what in LINE.findall(log_text)]


def per_device(events):
    """device -> its first answered probe, first block, last reset and last
    verify request heard (ms), or None where there was none."""
    out = {}
    for t, d, kind, answered in events:
        e = out.setdefault(d, {"probe": None, "block": None, "reset": None, "verify": None})
        if kind == "probe" and answered and e["probe"] is None:
            e["probe"] = t
        elif kind == "block" and e["block"] is None:
            e["block"] = t
        elif kind == "reset":
            e["reset"] = t
        elif kind == "verify":
            e["verify"] = t
    return out


def run_tool(args, argv, work, name):
    with open(os.path.join(work, f"{name}-out.txt"), "wb") as o, \
         open(os.path.join(work, f"{name}-err.txt"), "wb") as e:
        child = process.start([args.fwu, *argv], stdout=o, stderr=e)
    process.reap(child, args.limit_s)
    if child.returncode is None:
        process.stop(child)
        raise BenchError(f"{' '.join(argv[:2])} did not end")
    return child.returncode


def simulator(args, work, name, *options):
    return Devsim(args.devsim, work, "-v", "--seconds", str(args.limit_s + 60), *options,
                  name=name, dump=os.path.join(work, f"{name}-%d.bin" if "--devices" in options
                                               else f"{name}.bin"),
                  summary=os.path.join(work, f"{name}.json"))


def records(path):
    with open(path) as f:
        return [json.loads(l) for l in f if l.strip()]


# -- the rows ---------------------------------------------------------------------

def row_verify(args, work, image_path, image):
    """verify and update of the same image: the device's view of each."""
    sim = simulator(args, work, "verify", "--flash-from", image_path)
    code = run_tool(args, ["verify", "--quiet", "--image", image_path, "--no-vector-check",
                           "--json", os.path.join(work, "verify.jsonl"), sim.path], work, "verify")
    sim.stop()
    got = records(os.path.join(work, "verify.jsonl"))
    if code != 0 or not got or got[0]["result"] != "match":
        raise BenchError(f"verify: exit {code}, {got[:1]}")
    v = per_device(heard(sim.log()))[1]
    verify_ms = v["verify"] + REPLY_15_MS - v["probe"]
    requests = sim.summary()["requests"]

    _, update_ms = single_update(args, work, "update", image_path)
    return {"verify_ms": verify_ms, "update_ms": update_ms, "requests": requests["all"],
            "blocks": len(padded(image)) // 1024}


def bench_run(args, work, name, slots, devices, image_path, image, swap_ms=None):
    """`fwu update --continuous --count devices` on `slots` simulators of
    `devices` devices each, swapped after swap_ms (--swap-ms by default).
    Returns every device's (link ms, update ms)."""
    swap_ms = args.swap_ms if swap_ms is None else swap_ms
    sims = [simulator(args, work, f"{name}{s}", "--devices", str(devices), "--swap-ms",
                      str(swap_ms)) for s in range(slots)]
    try:
        out = os.path.join(work, f"{name}.jsonl")
        code = run_tool(args, ["update", "--continuous", "--count", str(devices), "--quiet",
                               "--image", image_path, "--no-vector-check", "--json", out,
                               *[s.path for s in sims]], work, name)
        got = records(out)
        if code != 0 or len(got) != slots * devices or any(r["result"] != "done" for r in got):
            raise BenchError(f"{name}: exit {code}, {len(got)} records "
                             f"{[r['result'] for r in got]}")
        found = []
        for s, sim in enumerate(sims):
            sim.wait(30)
            sim.stop()
            for d, e in sorted(per_device(heard(sim.log())).items()):
                if None in (e["probe"], e["block"], e["reset"]):
                    raise BenchError(f"{name}: slot {s + 1} device {d} not seen whole")
                with open(os.path.join(work, f"{name}{s}-{d}.bin"), "rb") as f:
                    if f.read() != padded(image):
                        raise BenchError(f"{name}: slot {s + 1} device {d}: flash differs")
                found.append((e["block"] - e["probe"], e["reset"] - e["probe"]))
        return found
    finally:
        for sim in sims:
            sim.stop()


def single_update(args, work, name, image_path, *options):
    """A single `fwu update` run of a device with options: first answered
    probe to first block heard, and the whole update."""
    return single_record(args, work, name, image_path, *options)[:2]


def single_record(args, work, name, image_path, *options):
    """single_update, and the run's JSON record."""
    sim = simulator(args, work, name, *options)
    out = os.path.join(work, f"{name}.jsonl")
    code = run_tool(args, ["update", "--quiet", "--image", image_path, "--no-vector-check",
                           "--json", out, sim.path], work, name)
    sim.wait(20)
    sim.stop()
    got = records(out)
    if code != 0 or not got or got[0]["result"] != "done":
        raise BenchError(f"{name} update: exit {code}, {got[:1]}")
    e = per_device(heard(sim.log()))[1]
    return e["block"] - e["probe"], e["reset"] - e["probe"], got[0]


def rows_resend_and_swap(args, work, image_path, image, rows):
    """The lost ack, the slow device and the quick swap, side by side."""
    if "lost-ack" in rows:
        _, clean_ms, c = single_record(args, work, "clean", image_path)
        _, lost_ms, r = single_record(args, work, "lost", image_path, "--drop", "block:5")
        print("| device | first answer to the reset | resends | cost of the lost ack "
              "| target |")
        print("|---|--:|--:|--:|---|")
        print(f"| clean | {clean_ms / 1000:.3f} s | {c['resends']} | | |")
        print(f"| fifth block ack lost | {lost_ms / 1000:.3f} s | {r['resends']} "
              f"| {(lost_ms - clean_ms) / 1000:+.3f} s | at most 0.3 s |\n")
    if "slow-flash" in rows:
        _, slow_ms, r = single_record(args, work, "slow", image_path, "--flash-ms", "25")
        print(f"25 ms/block device: first answer to the reset {slow_ms / 1000:.3f} s, "
              f"resends {r['resends']} (target 0)\n")
    if "swap" in rows:
        found = bench_run(args, work, "swap", 1, args.devices, image_path, image, swap_ms=300)
        links = [l for l, _ in found]
        print(f"bench, next device 0.3 s after the last left: first answer to first block "
              f"{', '.join(f'{l:.1f}' for l in links)} ms (target at most 200 ms)\n")


# -- main -----------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", type=int, default=100 * 1024, help="image bytes (default 100 KiB)")
    ap.add_argument("--devices", type=int, default=3, help="devices per slot (default 3)")
    ap.add_argument("--slots", type=int, default=8, help="slots at once (default 8)")
    ap.add_argument("--swap-ms", type=int, default=1500, help="the operator's swap (default 1500)")
    ap.add_argument("--rows", default="verify,continuous,slots,lost-ack,slow-flash,swap")
    ap.add_argument("--limit-s", type=int, default=600)
    ap.add_argument("--fwu", default=os.path.join(NATIVE, "fwu"))
    ap.add_argument("--devsim", default=os.path.join(NATIVE, "tools", "devsim", "fwu-devsim"))
    ap.add_argument("--work", default=os.path.join(NATIVE, "bench", "modes"))
    args = ap.parse_args()
    rows = set(args.rows.split(","))
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    image = app_pattern(args.size, 23)
    image_path = os.path.join(args.work, "image.bin")
    with open(image_path, "wb") as f:
        f.write(image)
    print(f"load average before: {os.getloadavg()[0]:.2f}\n")
    try:
        if "verify" in rows:
            r = row_verify(args, args.work, image_path, image)
            print("| image | verify, first answer to the end | update, first answer to the reset "
                  "| ratio | verify requests |")
            print("|---|--:|--:|--:|--:|")
            print(f"| {args.size // 1024} KiB ({r['blocks']} blocks) | {r['verify_ms'] / 1000:.3f} s "
                  f"| {r['update_ms'] / 1000:.3f} s | {r['update_ms'] / r['verify_ms']:.1f} x "
                  f"| {r['requests']} |\n")
        if "continuous" in rows or "slots" in rows:
            one_link, one_update = single_update(args, args.work, "single", image_path)
            alone = bench_run(args, args.work, "alone", 1, args.devices, image_path, image)
            links = [l for l, _ in alone]
            updates = [u for _, u in alone]
            if "continuous" in rows:
                print("| first answer to first block | single run | bench, each device "
                      "| worst beyond the single run |")
                print("|---|--:|--:|--:|")
                print(f"| {args.devices} devices on one slot | {one_link:.1f} ms "
                      f"| {', '.join(f'{l:.1f}' for l in links)} ms "
                      f"| {max(links) - one_link:+.1f} ms |\n")
                print(f"whole update: single run {one_update / 1000:.3f} s, bench devices "
                      f"{', '.join(f'{u / 1000:.3f}' for u in updates)} s\n")
            if "slots" in rows:
                many = bench_run(args, args.work, "many", args.slots, args.devices, image_path,
                                 image)
                base = statistics.mean(updates)
                worst = max(u for _, u in many)
                print("| slots | devices | one slot alone, mean update | worst device of all "
                      "| worst / alone | mean / alone |")
                print("|--:|--:|--:|--:|--:|--:|")
                print(f"| {args.slots} | {len(many)} | {base / 1000:.3f} s | {worst / 1000:.3f} s "
                      f"| {worst / base:.3f} | {statistics.mean(u for _, u in many) / base:.3f} |\n")
        rows_resend_and_swap(args, args.work, image_path, image, rows)
    except BenchError as e:
        print(f"fwu-bench: failed: {e}", file=sys.stderr)
        return 1
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
