"""Child processes of the test drivers, the demo and the benchmark: each is
started so that it dies with the driver (even one killed without cleaning
up), and is stopped and reaped by its own PID, never by name.
"""
import ctypes
import os
import signal
import subprocess
import time

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _dies_with(parent, sig):
    def setup():  # runs in the child, between fork and exec
        _libc.prctl(PR_SET_PDEATHSIG, int(sig), 0, 0, 0)
        if os.getppid() != parent:  # the parent died before prctl took effect
            os._exit(127)
    return setup


def start(args, death_signal=signal.SIGKILL, **popen_args):
    """subprocess.Popen(args, **popen_args) for a child that gets
    death_signal when this process ends; its standard input is /dev/null
    unless given."""
    popen_args.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(args, preexec_fn=_dies_with(os.getpid(), death_signal), **popen_args)


def reap(process, timeout=None):
    """Waits up to timeout seconds (None: for ever) for process to end and
    reaps it. Returns its resource usage (os.wait4's), or None when it still
    runs or was reaped before; process.returncode is set either way."""
    if process.returncode is not None:
        return None
    end = None if timeout is None else time.monotonic() + timeout
    while True:
        try:
            pid, status, usage = os.wait4(process.pid, 0 if end is None else os.WNOHANG)
        except ChildProcessError:  # reaped elsewhere: Popen knows its code
            process.poll()
            return None
        except InterruptedError:
            continue
        if pid == process.pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return usage
        if time.monotonic() >= end:
            return None
        time.sleep(0.01)


def peak_rss_kib(pid):
    """The high-water mark of pid's resident memory (VmHWM), or None once
    it has no memory of its own (ended)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


def reap_measured(process, timeout, every=0.02):
    """reap, watching the child's peak resident memory meanwhile. Returns
    (resource usage, peak KiB). The peak is read from /proc rather than
    taken from the usage, whose ru_maxrss keeps the forking parent's peak
    across exec; being a high-water mark, sampling it misses only growth
    in the last `every` seconds."""
    end = time.monotonic() + timeout
    peak = None
    while True:
        sample = peak_rss_kib(process.pid)
        usage = reap(process, 0)
        if process.returncode is not None:
            return usage, peak
        if sample is not None:
            peak = max(peak or 0, sample)
        if time.monotonic() >= end:
            return None, peak
        time.sleep(every)


def stop(process, timeout=10, sig=signal.SIGTERM):
    """Stops one process we started (sig, then SIGKILL after timeout seconds)
    and reaps it. Returns its resource usage when this call reaped it. The
    PID stays ours until it is reaped, so signalling it is safe."""
    if process is None or process.returncode is not None:
        return None
    usage = reap(process, 0)
    if process.returncode is not None:
        return usage
    os.kill(process.pid, sig)
    usage = reap(process, timeout)
    if process.returncode is None:
        os.kill(process.pid, signal.SIGKILL)
        usage = reap(process)
    return usage


def cpu_ms(usage):
    """User + system time of an os.wait4 resource usage, in milliseconds."""
    return (usage.ru_utime + usage.ru_stime) * 1000.0 if usage is not None else None
