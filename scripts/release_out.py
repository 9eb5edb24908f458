#!/usr/bin/env python3
"""The release kit's dealings with its output directory (scripts/release.sh).

  release_out.py check DIR STATE
      Before anything is built: which of the release's names DIR holds, and
      whether each is an earlier release's. An earlier release is one whose
      SHA256SUMS (a plain file, every line naming fwu.exe, fwu-cli.exe or
      release.json with its SHA-256, none twice) names every other release
      file present, each present with that hash. Writes what it found to
      STATE; exit 1, saying which file and why, when a name is taken by
      anything else. Nothing in DIR is touched.

  release_out.py write DIR STATE FROM
      After the proof: each of the release's files in FROM is copied to a
      temporary file beside its name in DIR, and once all are complete they
      are renamed over the names, fwu.exe last. A name must still hold what
      check found (nothing, or the same earlier release's bytes), else the
      run stops before any rename. Whatever fails, no temporary file is left.

Only the earlier release's files are replaced, and only by the new ones;
nothing else in DIR is read, changed or removed.
"""
import hashlib
import json
import os
import re
import signal
import stat
import sys
import tempfile

# What a release consists of, in the order the names are replaced.
NAMES = ("release.json", "SHA256SUMS", "fwu-cli.exe", "fwu.exe")
LINE = re.compile(r"([0-9a-f]{64})  (fwu\.exe|fwu-cli\.exe|release\.json)")


def plain(path):
    """The bytes of a regular file (not a link), or None."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            return None
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def listed(data):
    """SHA256SUMS's {name: hash} when it has the kit's form, else None."""
    names = {}
    for line in data.decode("ascii", "replace").splitlines():
        m = LINE.fullmatch(line)
        if not m or m.group(2) in names:
            return None
        names[m.group(2)] = m.group(1)
    return names or None


def check(out):
    """{name: sha256 of an earlier release's file} for the names present."""
    present = [n for n in NAMES if os.path.lexists(os.path.join(out, n))]
    if not present:
        return {}
    sums = plain(os.path.join(out, "SHA256SUMS"))
    names = listed(sums) if sums is not None else None
    if "SHA256SUMS" in present and names is None:
        sys.exit(f"{out}/SHA256SUMS is not an earlier release's: it names other files, or is "
                 f"not a plain file")
    found = {}
    for name in present:
        if name == "SHA256SUMS":
            found[name] = sha256(sums)
            continue
        data = plain(os.path.join(out, name))
        if names is None or data is None or names.get(name) != sha256(data):
            sys.exit(f"{out}/{name} is not from an earlier release (no SHA256SUMS there names "
                     f"it with its hash)")
        found[name] = names[name]
    missing = sorted(set(names or ()) - set(present))
    if missing:
        sys.exit(f"{out}/SHA256SUMS is not a whole earlier release's: {', '.join(missing)} "
                 f"it names are missing")
    return found


def unchanged(out, name, was):
    """Whether DIR/name still holds what check found there."""
    path = os.path.join(out, name)
    if was is None:
        return not os.path.lexists(path)
    data = plain(path)
    return data is not None and sha256(data) == was


def write(out, found, source):
    temps = {}
    try:
        for name in NAMES:
            fd, temps[name] = tempfile.mkstemp(prefix=f".{name}.", dir=out)
            with os.fdopen(fd, "wb") as f, open(os.path.join(source, name), "rb") as src:
                f.write(src.read())
                f.flush()
                os.fsync(f.fileno())
            os.chmod(temps[name], 0o755 if name.endswith(".exe") else 0o644)
        for name in NAMES:
            if not unchanged(out, name, found.get(name)):
                sys.exit(f"{out}/{name} changed during the run: nothing replaced")
        for done, name in enumerate(NAMES):
            try:
                os.replace(temps[name], os.path.join(out, name))
                del temps[name]
            except OSError as e:
                sys.exit(f"cannot rename into {out}/{name}: {e.strerror}; "
                         + (f"{', '.join(NAMES[:done])} are the new release's, the rest as before"
                            if done else "nothing replaced"))
        fd = os.open(out, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
    finally:
        for path in temps.values():
            try:
                os.unlink(path)
            except OSError:
                pass


def main():
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit("interrupted"))  # the temporary files still go
    if len(sys.argv) == 4 and sys.argv[1] == "check":
        found = check(sys.argv[2])
        with open(sys.argv[3], "w") as f:
            json.dump(found, f)
    elif len(sys.argv) == 5 and sys.argv[1] == "write":
        with open(sys.argv[3]) as f:
            found = json.load(f)
        write(sys.argv[2], found, sys.argv[4])
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
