#!/usr/bin/env python3
"""Peak memory and time of packing one large file: `fenwix build` of a folder
holding a program and one file of 1 GiB and of 5 GiB (by default), at levels
3 and 19, against the packer's bound of 512 MiB, and its time against
`zstd -T0 --long=27` of the same entry stream at the same level.

    bench/pack_memory.py [--sizes 1,5] [--levels 3,19] [--cores 16] [--no-zstd]
                         [--fenwix PATH] [--work DIR]

--cores N packs the same folder again as a machine of N cores would
(build/host/bench/pack_threads, the packer with its cores given), so that
the bound of a big machine is measured on a small one; its block must be
the same bytes as the launcher's.

The file is made here, the same bytes at every run: pieces of a text pool
picked at random, each lightly changed, between stretches of random bytes
in base64, so that it compresses about eight to one, at levels 3 and 19
alike (the random stretches weigh most). Peak memory is GNU time's maximum resident set size. The stream
is the launcher's frames decoded by `zstd -d`, which must give the same
stream at every level. Needs about three times the largest size free below --work
(by default a folder made in build/ and removed at the end). Prints one
Markdown table for bench/results.md.
"""
import argparse
import base64
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20
BOUND_MIB = 512
# Any Windows program will do as the main one; the launcher stub is always built.
MAIN_PROGRAM = os.path.join(ROOT, "build", "win64", "stub", "fenwix-stub.exe")
PACK_THREADS = os.path.join(ROOT, "build", "host", "bench", "pack_threads")


def make_file(path, size, seed=30):
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(4096)]
    pool = bytearray()
    while len(pool) < 2 * MIB:
        line = b" ".join(rng.choice(words) for _ in range(rng.randint(3, 14)))
        pool += line + b" %d\n" % rng.randint(0, 99999)
    piece = 64 * 1024
    with open(path, "wb") as out:
        written = 0
        while written < size:
            if rng.random() < 0.15:
                data = base64.b64encode(rng.randbytes(piece * 3 // 4))
            else:
                at = rng.randrange(len(pool) - piece)
                data = bytearray(pool[at:at + piece])
                for _ in range(16):
                    data[rng.randrange(piece)] = rng.randrange(256)
            data = data[:size - written]
            out.write(data)
            written += len(data)


def timed_peak(command):
    """Runs `command` under GNU time: its seconds and peak resident MiB."""
    run = subprocess.run(["/usr/bin/time", "-f", "%e %M"] + command, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.exit(f"{command[0]} failed:\n{run.stderr}")
    seconds, kib = run.stderr.strip().splitlines()[-1].split()
    return float(seconds), int(kib) / 1024


def block_of(launcher, block_path):
    """Copies the block out of the launcher, which ends with it and its
    padding: from the first "QJX" before a Zstandard frame to the trailer
    that counts the bytes before it."""
    with open(launcher, "rb") as f:
        head = f.read(1 << 20)
        start = head.find(b"QJX\x28\xb5\x2f\xfd")
        size = os.path.getsize(launcher)
        f.seek(size - 8192)
        tail = f.read()
    ends = [at for at in range(len(tail) - 8, -1, -1)
            if int.from_bytes(tail[at:at + 8], "little") == size - 8192 + at - start]
    if start < 0 or not ends:
        sys.exit(f"pack_memory: no payload block found in {launcher}")
    length = size - 8192 + ends[0] + 8 - start
    with open(launcher, "rb") as f, open(block_path, "wb") as out:
        f.seek(start)
        while length > 0:
            chunk = f.read(min(length, 64 * MIB))
            out.write(chunk)
            length -= len(chunk)


def stream_of(block_path, stream_path):
    """Decodes the block's frames into the entry stream; its SHA-256 and frame count."""
    frames_path = block_path + ".zst"
    with open(block_path, "rb") as block, open(frames_path, "wb") as out:
        if block.read(3) != b"QJX":
            sys.exit(f"{block_path} is no payload block")
        left = os.path.getsize(block_path) - 3 - 12
        while left > 0:
            chunk = block.read(min(left, 64 * MIB))
            out.write(chunk)
            left -= len(chunk)
    subprocess.run(["zstd", "-q", "-d", "-f", frames_path, "-o", stream_path], check=True)
    listing = subprocess.run(["zstd", "-l", frames_path], check=True, capture_output=True,
                             text=True).stdout.splitlines()
    os.remove(frames_path)
    digest = hashlib.sha256()
    with open(stream_path, "rb") as f:
        for chunk in iter(lambda: f.read(64 * MIB), b""):
            digest.update(chunk)
    return digest.hexdigest(), int(re.split(r"\s+", listing[1].strip())[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1,5", help="file sizes in GiB")
    parser.add_argument("--levels", default="3,19")
    parser.add_argument("--cores", type=int, default=0, help="also pack as with this many cores")
    parser.add_argument("--no-zstd", action="store_true",
                        help="leave out zstd -T0 (at level 19 it takes as long as the pack)")
    parser.add_argument("--fenwix", default=os.path.join(ROOT, "build", "host", "fenwix"))
    parser.add_argument("--work", default="")
    args = parser.parse_args()
    needed_files = [args.fenwix, MAIN_PROGRAM, "/usr/bin/time"] + ([PACK_THREADS] if args.cores else [])
    for needed in needed_files:
        if not os.path.exists(needed):
            sys.exit(f"pack_memory: {needed} is missing; ./fenwix test builds and installs it")
    if args.work:
        work = args.work
        os.makedirs(work, exist_ok=True)
    else:
        os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
        work = tempfile.mkdtemp(prefix="pack-memory.", dir=os.path.join(ROOT, "build"))
    rows = []
    try:
        for gib in [float(x) for x in args.sizes.split(",")]:
            app = os.path.join(work, "app")
            os.makedirs(app, exist_ok=True)
            shutil.copy(MAIN_PROGRAM, os.path.join(app, "main.exe"))
            make_file(os.path.join(app, "data.bin"), int(gib * 1024 * MIB))
            first_digest = None
            stream = os.path.join(work, "stream")
            for level in [int(x) for x in args.levels.split(",")]:
                launcher = os.path.join(work, "app.exe")
                pack_s, pack_mib = timed_peak([args.fenwix, "build", app, "-o", launcher,
                                               "--level", str(level), "--quiet"])
                block = os.path.join(work, "block")
                block_of(launcher, block)
                os.remove(launcher)
                forced = None
                if args.cores:
                    again = os.path.join(work, "block-again")
                    forced = timed_peak([PACK_THREADS, app, again, str(level), str(args.cores)])
                    if subprocess.run(["cmp", "-s", block, again]).returncode != 0:
                        sys.exit(f"packed as with {args.cores} cores, the block differs")
                    os.remove(again)
                digest, frames = stream_of(block, stream)
                if first_digest is None:
                    first_digest = digest
                elif digest != first_digest:
                    sys.exit(f"the entry stream at level {level} differs from the first level's")
                one = os.path.join(work, "one.zst")
                zstd_s, zstd_mib, size_ratio = None, None, None
                if not args.no_zstd:
                    zstd_s, zstd_mib = timed_peak(["zstd", "-q", "-f", f"-{level}", "--long=27",
                                                   "-T0", stream, "-o", one])
                    size_ratio = os.path.getsize(block) / (os.path.getsize(one) + 15)
                runs = [(os.cpu_count(), pack_s, pack_mib)]
                if forced:
                    runs.append((args.cores,) + forced)
                for cores, seconds, mib in runs:
                    rows.append((gib, level, cores, frames, os.path.getsize(block), seconds, mib,
                                 zstd_s, zstd_mib, size_ratio))
                    print(f"pack_memory: {rows[-1]}", file=sys.stderr)
                for path in (block, one, stream):
                    if os.path.exists(path):
                        os.remove(path)
            shutil.rmtree(app)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    print(f"{os.cpu_count()} cores; a folder of one file of the size below and the launcher stub as its program:\n")
    print(f"| file | level | cores | frames | block | `fenwix build` "
          f"| peak memory (bound {BOUND_MIB} MiB) "
          "| `zstd -T0 --long=27` | its peak | time ratio | size ratio |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for gib, level, cores, frames, block, pack_s, pack_mib, zstd_s, zstd_mib, size in rows:
        zstd = (f"{zstd_s:.1f} s | {zstd_mib:.0f} MiB | {pack_s / zstd_s:.2f} | {size:.3f}"
                if zstd_s else "— | — | — | —")
        print(f"| {gib:g} GiB | {level} | {cores} | {frames} | {block / MIB:.0f} MiB "
              f"| {pack_s:.1f} s | {pack_mib:.0f} MiB | {zstd} |")


if __name__ == "__main__":
    main()
