#!/usr/bin/env python3
"""The Debian package scripts/package.sh wrote (build/release/fwu_*.deb):
its files (both programs, both man pages gzipped, bash completion for both,
the udev rule, the docs with copyright and changelog), its metadata
(name, a version taken from the tool's, an architecture, Depends computed
from the binaries: libc6 with a version) and its postinst (udev's rules
reloaded only where udev runs, never failing).

  package_test.py --release-dir build/release
Exit status 0 pass, 1 fail, 77 skipped (no package built, unless
FWU_REQUIRE_PACKAGE is set, as scripts/test.sh does)."""
import argparse
import glob
import gzip
import io
import os
import re
import stat
import subprocess
import sys
import tarfile
import tempfile

FILES = ["usr/bin/fwu", "usr/bin/fwu-devsim", "usr/share/man/man1/fwu.1.gz",
         "usr/share/man/man1/fwu-devsim.1.gz", "usr/share/bash-completion/completions/fwu",
         "usr/share/bash-completion/completions/fwu-devsim", "usr/lib/udev/rules.d/60-fwu.rules",
         "usr/share/doc/fwu/README.md", "usr/share/doc/fwu/cli.md",
         "usr/share/doc/fwu/copyright", "usr/share/doc/fwu/changelog.gz"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--release-dir", required=True)
    args = ap.parse_args()
    debs = sorted(glob.glob(os.path.join(args.release_dir, "fwu_*.deb")))
    if not debs:
        print(f"SKIP no package in {args.release_dir} (scripts/package.sh makes it)")
        return 1 if os.environ.get("FWU_REQUIRE_PACKAGE") else 77
    deb, failed = debs[-1], []

    def expect(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failed.append(what)

    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    paths = {line.split()[-1].lstrip("./") for line in listing.splitlines() if line.strip()}
    missing = [f for f in FILES if f not in paths]
    expect(not missing, f"{os.path.basename(deb)} holds every file ({missing or 'none'} missing)")
    field = lambda name: subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True,
                                        text=True, check=True).stdout.strip()
    version = field("Version")
    expect(field("Package") == "fwu" and field("Architecture") and
           re.fullmatch(r"\d+\.\d+\.\d+([+~.][0-9A-Za-z.+~]*)?", version)
           and f"_{version}_" in os.path.basename(deb),
           f"name, architecture and version ({version}) as its file name says")
    expect(re.search(r"\blibc6 \(>= [0-9.]+\)", field("Depends")) is not None,
           f"Depends computed from the binaries ({field('Depends')})")
    page = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(page)) as tar:
        man = gzip.decompress(tar.extractfile("./usr/share/man/man1/fwu.1.gz").read()).decode()
        rule = tar.extractfile("./usr/lib/udev/rules.d/60-fwu.rules").read().decode()
    expect(man.startswith(".nh") or ".TH" in man, "fwu.1.gz is a gzipped man page")
    expect('ATTR{latency_timer}="1"' in rule and "dialout" in rule,
           "the udev rule sets FTDI's latency timer and tells of dialout")
    # The postinst, with a udevadm that fails: it never fails the install, and
    # calls udevadm (for configure only) where udev is running here.
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["dpkg-deb", "-e", deb, work], check=True)
        log = os.path.join(work, "udevadm.log")
        os.makedirs(os.path.join(work, "bin"))
        with open(os.path.join(work, "bin", "udevadm"), "w") as f:
            f.write(f'#!/bin/sh\necho "$*" >> {log}\nexit 1\n')
        os.chmod(os.path.join(work, "bin", "udevadm"), 0o755)
        env = dict(os.environ, PATH=os.path.join(work, "bin") + os.pathsep + os.environ["PATH"])
        codes = [subprocess.run(["sh", os.path.join(work, "postinst"), action], env=env).returncode
                 for action in ("configure", "abort-upgrade")]
        calls = open(log).read().splitlines() if os.path.exists(log) else []
        running = os.path.exists("/run/udev/control") and stat.S_ISSOCK(os.stat("/run/udev/control").st_mode)
        want = ["control --reload-rules", "trigger --subsystem-match=usb-serial --action=add"] if running else []
        expect(codes == [0, 0] and calls == want,
               "postinst exits 0 and " + ("has udev reload its rules and replay the adapters' add"
                                          if running else "calls no udevadm (no udev running here)"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
