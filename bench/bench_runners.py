"""fwu-bench's tool runners: each updates the devices on the given
pseudo-terminals (one per simulator) with one image, in a child process of
its own, and tells how long it took and what it cost the machine."""
import collections
import json
import os
import time

from fwu_testkit import process

from bench_report import RUNNER_SHORT_NAMES

# A runner updates the devices on the given pseudo-terminals (one per
# simulator) with one image and returns a ToolResult: elapsed_ms is the
# longest device's time, device_ms each device's (in the order of the
# ports), cpu_ms the tool process's user + system time over wall_ms. Phase
# times it cannot tell stay None; the tables show "-" for them.

ToolResult = collections.namedtuple(
    "ToolResult", "ok problem elapsed_ms cpu_ms peak_rss_kib phases device_ms wall_ms")
# many: the runner updates several devices at once (one tool, N ports).
Runner = collections.namedtuple("Runner", "label short many run")


def failed(problem):
    return ToolResult(False, problem, None, None, None, None, None, None)


def run_engine_child(args, ports, image, work):
    """fwu-bench-tool: the native engine, stepped through the session code
    over the POSIX serial link. Its CPU time is its own over the update
    (the child measures it); its peak RSS is watched from here."""
    out = os.path.join(work, "tool.json")
    argv = [args.tool_child, "--port", ports[0], "--limit-ms", str(args.limit_s * 1000),
            "--out", out]
    argv += ["--embedded"] if image.embedded else ["--image", image.path]
    with open(os.path.join(work, "trace.txt"), "wb") as trace:
        child = process.start(argv, stdout=trace)
    _, peak_kib = process.reap_measured(child, args.limit_s + 30)
    if child.returncode is None:
        process.stop(child)
        return failed("the tool child did not end")
    if child.returncode == 3:
        return failed(f"the tool child could not open {ports[0]}")
    try:
        with open(out) as f:
            report = json.load(f)
    except (OSError, ValueError):
        return failed(f"the tool child (exit {child.returncode}) reported nothing usable")
    if report["state"] != 7:  # Done
        return failed(f"the update ended in state {report['state']}")
    phases = {k: report[k] for k in ("link_ms", "blocks_ms", "tail_ms", "block_median_ms",
                                      "block_max_ms", "reads_per_block")}
    return ToolResult(True, "", report["elapsed_ms"], report["cpu_ms"], peak_kib, phases,
                      [report["elapsed_ms"]], report["elapsed_ms"])


def read_json_lines(path):
    """The objects of a JSON Lines file, skipping lines that are not one."""
    found = []
    try:
        with open(path, errors="replace") as f:
            for line in f:
                try:
                    obj = json.loads(line)
                except ValueError:
                    continue
                if isinstance(obj, dict):
                    found.append(obj)
    except OSError:
        pass
    return found


def run_cli(args, ports, image, work):
    """`fwu update --quiet --json FILE PORT...`: every port at once, each
    by its own engine thread, reads ending once a whole reply is in. Each
    device's seconds come from its JSON line (timed by the tool from the
    start of the run, before its port is opened, to its end); CPU is the
    whole process's (os.wait4) over its life as seen from here, peak RSS
    its VmHWM."""
    out = os.path.join(work, "update.jsonl")
    argv = [args.fwu, "update", "--quiet", "--json", out, "--timeout", str(args.limit_s)]
    # Any raw file is timed: the patterns have no vector table, and the
    # embedded image may be the bundled sample.
    if not image.embedded:
        argv += ["--image", image.path, "--no-vector-check"]
    else:
        argv += ["--allow-sample"]
    argv += ports
    errors = os.path.join(work, "update-stderr.txt")
    with open(os.path.join(work, "update-stdout.txt"), "wb") as o, open(errors, "wb") as e:
        started = time.monotonic()
        child = process.start(argv, stdout=o, stderr=e)
    usage, peak_kib = process.reap_measured(child, args.limit_s + 30)
    wall_ms = (time.monotonic() - started) * 1000
    if child.returncode is None:
        process.stop(child)
        return failed("fwu update did not end")
    by_port = {obj.get("port"): obj for obj in read_json_lines(out)}
    device_ms = []
    for port in ports:
        obj = by_port.get(port)
        if obj is None:
            with open(errors, errors="replace") as f:
                said = " ".join(f.read().split())[-200:]
            return failed(f"no JSON line for {port} (exit {child.returncode}: {said})")
        if obj.get("result") != "done" or obj.get("reset_confirmed") is not True:
            return failed(f"{port}: {obj.get('result')}, {obj.get('error')}")
        seconds = obj.get("seconds")
        if not isinstance(seconds, (int, float)) or seconds <= 0:
            return failed(f"{port}: no time in its JSON line")
        device_ms.append(seconds * 1000.0)
    if child.returncode != 0:
        return failed(f"fwu update exited {child.returncode} with every device done")
    return ToolResult(True, "", max(device_ms), process.cpu_ms(usage), peak_kib, None,
                      device_ms, wall_ms)


RUNNERS = {
    "engine": Runner("native engine + POSIX serial link", RUNNER_SHORT_NAMES["engine"], False,
                     run_engine_child),
    "cli": Runner("fwu update", RUNNER_SHORT_NAMES["cli"], True, run_cli),
}
