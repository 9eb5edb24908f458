#!/usr/bin/env python3
"""The man pages stay in step with --help: every long option that fwu's
commands and fwu-devsim print in their help appears in the page's source
(docs/cli.md, docs/fwu-devsim.md), and both sources render as man pages
(go-md2man, then groff with every warning on) without a complaint.

  manpages_test.py --fwu FWU --devsim DEVSIM --docs DOCS
Exit status 0 pass, 1 fail, 77 skipped (no go-md2man or groff here, unless
FWU_REQUIRE_MAN_PAGES is set)."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")


def options(command):
    text = subprocess.run(command, capture_output=True, text=True, timeout=60).stdout
    return set(OPTION.findall(text)) - {"--help"}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fwu", required=True)
    ap.add_argument("--devsim", required=True)
    ap.add_argument("--docs", required=True)
    args = ap.parse_args()
    failed = []
    pages = {"cli.md": [[args.fwu, c, "--help"] for c in ("update", "verify", "image", "list")]
                       + [[args.fwu, "--help"]],
             "fwu-devsim.md": [[args.devsim, "--help"]]}
    for page, commands in pages.items():
        source = open(os.path.join(args.docs, page), encoding="utf-8").read()
        wanted = set().union(*(options(c) for c in commands))
        missing = sorted(o for o in wanted if o not in source)
        print(f"{page}: {len(wanted)} options in --help, missing {missing}")
        if missing:
            failed.append(f"{page} lacks {missing}")

    tools = [shutil.which(t) for t in ("go-md2man", "groff")]
    if not all(tools):
        print("SKIP go-md2man or groff missing (apt-get install go-md2man groff-base)")
        return 1 if failed or os.environ.get("FWU_REQUIRE_MAN_PAGES") else 77
    with tempfile.TemporaryDirectory() as work:
        for page in pages:
            out = os.path.join(work, page + ".1")
            md2man = subprocess.run([tools[0], "-in", os.path.join(args.docs, page), "-out", out],
                                    capture_output=True, text=True)
            groff = subprocess.run([tools[1], "-man", "-ww", "-z", out], capture_output=True,
                                   text=True) if md2man.returncode == 0 else None
            warnings = (md2man.stderr + (groff.stderr if groff else "")).strip()
            print(f"{page}: rendered{'' if not warnings else ' with: ' + warnings}")
            if md2man.returncode != 0 or warnings:
                failed.append(f"{page} does not render cleanly")
    for f in failed:
        print(f"FAIL {f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
