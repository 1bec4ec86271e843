#!/usr/bin/env python3
"""What independent frames cost: for one folder, the block `fenwix pack`
writes (frames that decode on every core) against one Zstandard frame of the
same entry stream with a 128 MiB window and long-distance matching
(`zstd --long=27 -T0`), at each level, in size and in packing time.

    bench/frames.py FOLDER [--main RELPATH] [--levels 3,19] [--fenwix PATH] [--work DIR]

It also checks that `zstd -d` of the block's frames gives the entry stream,
the same at every level. It prints one Markdown table for bench/results.md.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(command, **kwargs):
    start = time.monotonic()
    subprocess.run(command, check=True, **kwargs)
    return time.monotonic() - start


def frames_of(block_path, stream_path):
    """The block's frames as a file zstd reads, and the entry stream it gives."""
    frames_path = block_path + ".zst"
    with open(block_path, "rb") as block, open(frames_path, "wb") as out:
        data = block.read()
        if data[:3] != b"QJX":
            sys.exit(f"{block_path} is no payload block")
        out.write(data[3:-12])
    subprocess.run(["zstd", "-q", "-d", "-f", frames_path, "-o", stream_path], check=True)
    listing = subprocess.run(["zstd", "-l", frames_path], check=True, capture_output=True,
                             text=True).stdout.splitlines()
    count = int(re.split(r"\s+", listing[1].strip())[0])
    os.remove(frames_path)
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--main", default="")
    parser.add_argument("--levels", default="3,19")
    parser.add_argument("--fenwix", default=os.path.join(HERE, "..", "build", "host", "fenwix"))
    parser.add_argument("--work", default="")
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="fenwix-frames-")
    os.makedirs(work, exist_ok=True)
    rows = []
    first_stream = None
    try:
        for level in [int(x) for x in args.levels.split(",")]:
            block = os.path.join(work, f"block-{level}")
            pack = [args.fenwix, "pack", args.folder, "-o", block, "--level", str(level)]
            if args.main:
                pack += ["--main", args.main]
            pack_seconds = timed(pack, stdout=subprocess.DEVNULL)
            stream = os.path.join(work, f"stream-{level}")
            frames = frames_of(block, stream)
            if first_stream is None:
                first_stream = stream
            elif subprocess.run(["cmp", "-s", first_stream, stream]).returncode != 0:
                sys.exit(f"the entry stream at level {level} differs from the first level's")
            one = os.path.join(work, f"one-{level}.zst")
            one_seconds = timed(["zstd", "-q", "-f", f"-{level}", "--long=27", "-T0", stream,
                                 "-o", one])
            block_bytes = os.path.getsize(block)
            one_bytes = os.path.getsize(one) + 15  # as a block: "QJX" and the tail
            rows.append((level, os.path.getsize(stream), frames, block_bytes, one_bytes,
                         pack_seconds, one_seconds))
            if stream != first_stream:
                os.remove(stream)
            os.remove(one)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    mib = 1 << 20
    print(f"Folder `{os.path.basename(os.path.normpath(args.folder))}`, "
          f"entry stream {rows[0][1] / mib:.1f} MiB, {os.cpu_count()} cores:\n")
    print("| level | frames | block | one frame (`--long=27`) | size ratio (target ≤ 1.05) "
          "| pack | `zstd -T0` | time ratio |")
    print("|---|---|---|---|---|---|---|---|")
    for level, _, frames, block_bytes, one_bytes, pack_s, one_s in rows:
        print(f"| {level} | {frames} | {block_bytes / mib:.2f} MiB | {one_bytes / mib:.2f} MiB "
              f"| {block_bytes / one_bytes:.3f} | {pack_s:.1f} s | {one_s:.1f} s "
              f"| {pack_s / one_s:.2f} |")


if __name__ == "__main__":
    main()
