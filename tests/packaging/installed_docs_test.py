#!/usr/bin/env python3
"""The docs as users get them: `cmake --install BUILD --prefix SCRATCH`, then
every relative link of every installed page (the README included) resolves
in the installed tree, no developers' page is installed, and the man page
names the configured doc dir (FWU_DOC_DIR of the build's
generated/fwu_install_dirs.h), not another prefix's.

  installed_docs_test.py --build BUILD
Exit status 0 pass, 1 fail."""
import argparse
import gzip
import os
import re
import subprocess
import sys
import tempfile

LINK = re.compile(r"\[([^]]*)\]\(([^)]*)\)")
DEVELOPERS = ["architecture.md", "bench.md", "benchmarks-dialog-cadence.md", "building.md",
              "fault-matrix.md", "testing.md"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    args = ap.parse_args()
    failed = []

    def expect(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failed.append(what)

    header = open(os.path.join(args.build, "generated", "fwu_install_dirs.h")).read()
    doc_dir = re.search(r'#define FWU_DOC_DIR "([^"]*)"', header).group(1)
    with tempfile.TemporaryDirectory(prefix="fwu-install.") as prefix:
        subprocess.run(["cmake", "--install", args.build, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        docs = os.path.join(prefix, "share", "doc", "fwu")
        pages = sorted(n for n in os.listdir(docs) if n.endswith(".md"))
        expect("README.md" in pages and "cli.md" in pages, f"the README and cli.md installed ({pages})")
        shipped = [n for n in DEVELOPERS if n in pages]
        expect(not shipped, f"no developers' page installed ({shipped or 'none'})")
        for page in pages:
            text = open(os.path.join(docs, page), encoding="utf-8").read()
            targets = [t for _, t in LINK.findall(text) if not re.match(r"[a-z]+:|#", t)]
            broken = [t for t in targets if not os.path.isfile(os.path.join(docs, t.split("#")[0]))]
            expect(not broken, f"{page}: its {len(targets)} relative links resolve ({broken or 'none broken'})")
        man = os.path.join(prefix, "share", "man", "man1", "fwu.1.gz")
        if os.path.exists(man) or os.environ.get("FWU_REQUIRE_MAN_PAGES"):
            text = gzip.decompress(open(man, "rb").read()).decode()
            others = doc_dir != "/usr/share/doc/fwu" and "/usr/share/doc/fwu" in text
            expect(doc_dir in text and not others, f"fwu(1) names the configured doc dir {doc_dir}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
