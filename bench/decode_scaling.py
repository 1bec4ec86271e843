#!/usr/bin/env python3
"""Decoding alone on 1, 2, 4, ... threads: packs FOLDER (by default the Wine
DLL folder, notepad.exe as its main program), embeds the block in a
launcher, and runs
bench/decode_scaling.cpp over its block, each thread taking the next frame;
beside it, single-thread `zstd -d` of the same frames. Files the table in
bench/results.md (between its "decode scaling" markers, replaced at every
run) unless --print.

    bench/decode_scaling.py [FOLDER] [--main RELPATH] [--level 3] [--threads N] [--runs 3] [--print]

Run it on a machine with more cores to see how far the frames spread: the
program is built by the host preset (build/host/bench/decode_scaling).
"""
import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
PROGRAM = os.path.join(BUILD, "host", "bench", "decode_scaling")
RESULTS = os.path.join(ROOT, "bench", "results.md")
BEGIN, END = "<!-- decode scaling: begin -->", "<!-- decode scaling: end -->"


def frames_file(block, work):
    """The block's frames as one file that `zstd -d` reads."""
    with open(block, "rb") as f:
        data = f.read()
    if data[:3] != b"QJX":
        sys.exit(f"decode_scaling: {block} is no payload block")
    path = os.path.join(work, "frames.zst")
    with open(path, "wb") as out:
        out.write(data[3:-12])
    return path


def best_of(runs, command):
    best = None
    for _ in range(runs):
        start = time.monotonic()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        took = time.monotonic() - start
        best = took if best is None else min(best, took)
    return best


def file_them(section):
    with open(RESULTS) as f:
        text = f.read()
    block = f"{BEGIN}\n{section}{END}\n"
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + block + text[text.index(END) + len(END) + 1:]
    else:
        text = text.rstrip("\n") + "\n\n" + block
    with open(RESULTS, "w") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default="/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
    parser.add_argument("--main", default="notepad.exe")
    parser.add_argument("--level", default="3")
    parser.add_argument("--threads", default=str(os.cpu_count()))
    parser.add_argument("--runs", default="3")
    parser.add_argument("--fenwix", default=os.path.join(BUILD, "host", "fenwix"))
    parser.add_argument("--print", action="store_true", help="print the section, file nothing")
    args = parser.parse_args()
    for needed in (PROGRAM, args.fenwix):
        if not os.path.exists(needed):
            sys.exit(f"decode_scaling: {needed} is missing; build the host preset "
                     "(cmake --preset host && cmake --build --preset host)")
    os.makedirs(BUILD, exist_ok=True)
    work = tempfile.mkdtemp(prefix="decode-scaling.", dir=BUILD)
    try:
        # One pack, embedded as it is: the launcher's block is the block file.
        block = os.path.join(work, "block")
        launcher = os.path.join(work, "app.exe")
        subprocess.run([args.fenwix, "pack", args.folder, "--main", args.main, "--level",
                        args.level, "--quiet", "-o", block], check=True)
        subprocess.run([args.fenwix, "build", "--block", block, "--index", "decoded",
                        "--product", "Decode scaling", "--quiet", "-o", launcher], check=True)
        table = subprocess.run([PROGRAM, launcher, args.threads, args.runs], check=True,
                               capture_output=True, text=True).stdout
        frames = frames_file(block, work)
        zstd_seconds = best_of(int(args.runs), ["zstd", "-q", "-d", "-c", frames])
    finally:
        shutil.rmtree(work)  # made above by this run, never another folder
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    section = (
        "\n## Decoding alone on 1, 2, 4, … threads (`bench/decode_scaling.py`)\n\n"
        f"Run {when} on commit {commit}: a launcher of `{args.folder}` (main program "
        f"`{args.main}`, `--level {args.level}`), its frames decoded in memory by "
        "`build/host/bench/decode_scaling`, each thread taking the next frame into a 128 KiB "
        "window and dropping it, as the launcher's workers do before they write. "
        + table +
        f"\nSingle-thread `zstd -d` of the same frames (to /dev/null, from the page cache): "
        f"{zstd_seconds:.3f} s. The speed-up stops at the cores of the machine and at the "
        "frames: a thread never shares a frame.\n")
    if args.print:
        sys.stdout.write(section)
    else:
        file_them(section)
        sys.stdout.write(section)


if __name__ == "__main__":
    main()
