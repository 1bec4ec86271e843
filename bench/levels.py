#!/usr/bin/env python3
"""Pack time and size by compression level, to choose the default level.

Packs each reference folder with `fenwix pack` at levels 3, 9 and 19 (or
LEVELS) and reports, per folder and level, the block's size, its share of
the folder, and the time it took; then writes the results as JSON and as a
Markdown table (bench/levels.md unless --out says otherwise).

Reference folders: the whole Wine DLL folder (the large corpus bench/run.py
starts from) and the npm corpus (bench/npm-corpus, installed with npm ci as
it would ship). Run from the checkout once the host build exists
(./fenwix test builds it); needs npm for the npm corpus.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "host", "fenwix")
PROBE = os.path.join(ROOT, "build", "win64", "tests", "harness", "probe_child.exe")
MAIN_NAME = "bench-main.exe"


def folder_bytes(folder):
    total = 0
    count = 0
    for base, _, names in os.walk(folder):
        for name in names:
            total += os.path.getsize(os.path.join(base, name))
            count += 1
    return total, count


def wine_folder(work, wine_dlls):
    folder = os.path.join(work, "wine")
    shutil.copytree(wine_dlls, folder, copy_function=os.link, symlinks=False)
    shutil.copy(PROBE, os.path.join(folder, MAIN_NAME))
    return folder


def npm_folder(work):
    folder = os.path.join(work, "npm")
    os.makedirs(folder)
    for name in ("package.json", "package-lock.json"):
        shutil.copy(os.path.join(ROOT, "bench", "npm-corpus", name), folder)
    # As it would ship: no install scripts and no .bin links.
    subprocess.run(["npm", "ci", "--ignore-scripts", "--no-bin-links", "--no-audit", "--no-fund",
                    "--no-update-notifier", "--loglevel=error"], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL)
    shutil.copy(PROBE, os.path.join(folder, MAIN_NAME))
    return folder


def measure(folder, level, work):
    block = os.path.join(work, "block")
    start = time.monotonic()
    subprocess.run([TOOL, "pack", folder, "-o", block, "--main", MAIN_NAME, "--level", str(level),
                    "--quiet"], check=True)
    seconds = time.monotonic() - start
    size = os.path.getsize(block)
    os.remove(block)
    return {"level": level, "seconds": round(seconds, 2), "block_bytes": size}


def render(results):
    lines = ["| Folder | Level | Block | Share of the folder | Pack time |", "|---|---|---|---|---|"]
    for corpus in results["corpora"]:
        name = "%s (%d files, %.1f MB)" % (corpus["name"], corpus["files"], corpus["bytes"] / 1e6)
        for row in corpus["levels"]:
            lines.append("| %s | %d | %.1f MB | %.1f%% | %.1f s |" % (
                name, row["level"], row["block_bytes"] / 1e6,
                100.0 * row["block_bytes"] / corpus["bytes"], row["seconds"]))
            name = ""
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--levels", default=os.environ.get("LEVELS", "3 9 19"))
    parser.add_argument("--wine-dlls", default=os.environ.get(
        "WINE_DLLS", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"))
    parser.add_argument("--corpora", default="wine npm", help="wine, npm or both")
    parser.add_argument("--out", default=os.path.join(ROOT, "bench", "levels.md"))
    args = parser.parse_args()
    for needed in (TOOL, PROBE):
        if not os.path.exists(needed):
            sys.exit("levels: %s is missing; ./fenwix test builds it" % needed)
    levels = [int(v) for v in args.levels.split()]
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    work = tempfile.mkdtemp(prefix="levels.", dir=os.path.join(ROOT, "build"))
    results = {"machine_cores": os.cpu_count(), "corpora": []}
    try:
        makers = {"wine": lambda: wine_folder(work, args.wine_dlls), "npm": lambda: npm_folder(work)}
        for name in args.corpora.split():
            folder = makers[name]()
            total, count = folder_bytes(folder)
            corpus = {"name": name, "bytes": total, "files": count, "levels": []}
            for level in levels:
                corpus["levels"].append(measure(folder, level, work))
                print("levels: %s at %d: %s" % (name, level, corpus["levels"][-1]), file=sys.stderr)
            results["corpora"].append(corpus)
    finally:
        shutil.rmtree(work)  # made above by this run, never another folder
    with open(os.path.splitext(args.out)[0] + ".json", "w") as f:
        json.dump(results, f, indent=1)
    with open(args.out, "w") as f:
        f.write("Pack time and size by level, `fenwix pack`, %d cores.\n\n" % os.cpu_count())
        f.write(render(results))
    sys.stdout.write(render(results))


if __name__ == "__main__":
    main()
