#!/usr/bin/env python3
"""Bash completion of fwu and fwu-devsim, through bash itself: the
completion file sourced, COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT
set, its function called, COMPREPLY read. Its word lists are checked
against the programs' own --help (every command's options, which of them
take a value, the commands, help's COMMAND words), so they cannot drift;
then a table of rows (words typed: the replies) in a scratch directory
with names that hold spaces, and a stand-in `fwu list --json` for usb:.

  completion_test.py --fwu FWU --devsim DEVSIM --packaging DIR --work DIR
Exit status 0 pass, 1 fail."""
import argparse
import os
import re
import shutil
import subprocess
import sys

# An option row of a help table: "  -q, --quiet  ...", "  --image FILE  ...".
ROW = re.compile(r"^ {2,4}(?:(-\w), )?(--[a-z][a-z0-9-]*)(?: ([A-Z]+))?(?: {2,}|$)", re.M)
FILES = ["my dir", "my file.hex", "my other", "plain.hex"]
SERIAL = "A50285BI"
FILE_TYPES = {"FILE", "PATH"}

BASH = r'''
source "$1"; shift
COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
compspec=$(complete -p "$1") || exit 3
function=${compspec#*-F }; ${function%% *}
printf '%s\n' "${COMPREPLY[@]}"
'''
COMPSPEC = 'source "$1"; complete -p "$2"'


def complete(env, script, *words):
    run = subprocess.run(["bash", "-c", BASH, "-", script, *words], capture_output=True, text=True,
                         cwd=env["HOME"], env=env, timeout=60)
    if run.returncode != 0:
        raise SystemExit(f"FAIL {words}: {run.stderr.strip()}")
    return sorted(w for w in run.stdout.split("\n") if w)


def help_rows(command):
    """{option: takes a value's type or None} from command's help."""
    text = subprocess.run(command, capture_output=True, text=True, timeout=60).stdout
    rows = {}
    for short, long, value in ROW.findall(text):
        for name in filter(None, (short, long)):
            rows[name] = value or None
    return rows, text


def main():
    ap = argparse.ArgumentParser()
    for name in ("fwu", "devsim", "packaging", "work"):
        ap.add_argument("--" + name, required=True)
    args = argparse.Namespace(**{k: os.path.abspath(v) for k, v in vars(ap.parse_args()).items()})
    shutil.rmtree(args.work, ignore_errors=True)
    bin_dir = os.path.join(args.work, "bin")
    os.makedirs(bin_dir)
    for name in FILES:
        (os.makedirs if name.endswith("dir") else lambda p: open(p, "w").close())(
            os.path.join(args.work, name))
    with open(os.path.join(bin_dir, "fwu"), "w") as f:  # what `fwu list --json` tells of an adapter
        f.write(f"#!/bin/sh\necho '[{{\"path\":\"/dev/ttyUSB0\",\"usb\":true,\"serial\":\"{SERIAL}\"}}]'\n")
    os.chmod(os.path.join(bin_dir, "fwu"), 0o755)
    env = {"PATH": bin_dir + ":/usr/bin:/bin", "HOME": args.work, "LC_ALL": "C"}
    fwu = os.path.join(args.packaging, "fwu.bash-completion")
    devsim = os.path.join(args.packaging, "fwu-devsim.bash-completion")
    failed = []

    def expect(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failed.append(what)

    for script, name in ((fwu, "fwu"), (devsim, "fwu-devsim")):
        compspec = subprocess.run(["bash", "-c", COMPSPEC, "-", script, name],
                                  capture_output=True, text=True, timeout=60).stdout.strip()
        expect(" -o filenames " in compspec,
               f"{compspec}: a directory gets its slash, a name its quotes")

    # Every program's and command's options as its help lists them.
    top, top_text = help_rows([args.fwu, "--help"])
    commands = re.findall(r"^  fwu ([a-z]+) ", top_text, re.M)
    # (page, completion, words, its rows, offered first beside them, and after an option)
    helps = {"-h", "--help"}
    pages = [("fwu", fwu, ["fwu"], top, helps | {"-V", "--version"}, helps),
             ("fwu-devsim", devsim, ["fwu-devsim"], help_rows([args.devsim, "--help"])[0], set(),
              set())]
    for command in commands:
        pages.append((f"fwu {command}", fwu, ["fwu", command],
                      help_rows([args.fwu, command, "--help"])[0], set(), set()))
    for name, script, words, rows, first, later in pages:
        offered = complete(env, script, *words, "-")
        wanted = sorted(set(rows) | first)
        expect(offered == wanted, f"{name} -: {offered} are its --help's {wanted}")
        for option, value in rows.items():
            after = complete(env, script, *words, option, "my" if value else "-")
            if value in FILE_TYPES:
                expect(after == FILES[:3], f"{name} {option} my: the files, one word each ({after})")
            elif value:
                expect(not any(w.startswith("-") for w in after), f"{name} {option}: a value ({after})")
            elif option not in helps | {"--version"}:
                expect(after == sorted(set(rows) | later), f"{name} {option} -: a flag ({after})")
    help_words = re.search(r"A command: (.*)", subprocess.run(
        [args.fwu, "help", "--help"], capture_output=True, text=True).stdout).group(1)

    rows = [(fwu, ["fwu", ""], commands),
            (fwu, ["fwu", "help", ""], re.findall(r"[a-z]+", help_words)),
            (fwu, ["fwu", "update", "--image", r"my\ f"], ["my file.hex"]),
            (fwu, ["fwu", "verify", "--json", '"my f'], ["my file.hex"]),
            (fwu, ["fwu", "--image", "'my o"], ["my other"]),
            (fwu, ["fwu", "image", "pl"], ["plain.hex"]),
            (fwu, ["fwu", "list", "--json", ""], []),
            (fwu, ["fwu", "update", "--quiet", "--json", "-", "us"], [f"usb:{SERIAL}"]),
            (fwu, ["fwu", "update", "usb", ":"], [SERIAL]),
            (fwu, ["fwu", "--allow-sample", ""], []),
            (fwu, ["fwu", "--format", ""], ["auto", "bin", "elf", "hex", "srec"]),
            (fwu, ["fwu", "update", "--wait", ""], ["forever"]),
            (devsim, ["fwu-devsim", "--dump", r"my\ f"], ["my file.hex"]),
            (devsim, ["fwu-devsim", ""], [])]
    for script, words, wanted in rows:
        got = complete(env, script, *words)
        expect(got == sorted(wanted), f"{' '.join(words)!r}: {got} (wanted {sorted(wanted)})")
    print(f"{len(failed)} failed" if failed else "all passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
