#!/usr/bin/env python3
"""Cold starts of one folder built two ways, side by side in one run: as one
Zstandard frame (`zstd --long=27`, read by the launcher's one sequential
reader) and as the frames `fenwix pack` cuts (decoded on every core), against
what the machine allows: max(decode / cores, write, (decode + write) / cores),
decode being single-thread `zstd -d` of the block and write
bench/win_create_write.c making the same files under the same Wine. A cold
start is what it takes over a launcher of the main program alone (started
warm), so the launcher's own start, one more process under Wine, is not
counted as unpacking; the program started directly is shown beside. Also the
peak memory of each cold start against the bound
bare program + block + cores x (window + 8 MiB) + 16 MiB.

    bench/cold_frames.py [--corpora wine-200,wine-all,tree] [--runs 3] [--level 3]

Prints one Markdown table for bench/results.md. Everything it makes lives
below build/bench/cold-frames, which it alone creates and removes.
"""
import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = f"{ROOT}/build/host/fenwix"
HARNESS = f"{ROOT}/build/win64/tests/harness/exit_code_harness.exe"
PROBE = f"{ROOT}/build/win64/tests/harness/probe_child.exe"
WINE_RUN = f"{ROOT}/scripts/wine-run"
WINE_DLLS = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
WORK = f"{ROOT}/build/bench/cold-frames"
MARKER = ".made-by-cold-frames"
MAIN = "bench-main.exe"
MIB = 1 << 20


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def run(command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def timed(command, stdout=subprocess.DEVNULL):
    os.sync()
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=stdout, stdin=subprocess.DEVNULL)
    return time.monotonic() - start


def start_windows(program, *args):
    """A Windows program under the exit-code harness; its code must be 0."""
    code = f"{WORK}/code"
    if os.path.exists(code):
        os.remove(code)
    seconds = timed([WINE_RUN, HARNESS, winpath(code), winpath(program), *args])
    with open(code) as f:
        if f.read().strip() != "0":
            sys.exit(f"{program} did not end with exit code 0")
    return seconds


def peak_mib(program):
    out = f"{WORK}/time.out"
    run(["/usr/bin/time", "-f", "%M", "-o", out, WINE_RUN, program],
        stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    with open(out) as f:
        return int(f.read().split()[-1]) / 1024


def fresh_work():
    """build/bench/cold-frames, removed only when it carries this script's marker."""
    if os.path.exists(WORK):
        if not os.path.exists(f"{WORK}/{MARKER}"):
            sys.exit(f"{WORK} exists and was not made by this script: not removing it")
        shutil.rmtree(WORK)
    os.makedirs(WORK)
    open(f"{WORK}/{MARKER}", "w").close()


def make_corpus(name):
    folder = f"{WORK}/{name}"
    os.makedirs(folder)
    if name.startswith("wine-"):
        limit = None if name == "wine-all" else int(name[5:]) * 1000 * 1000
        total = 0
        for entry in sorted(os.listdir(WINE_DLLS)):
            path = f"{WINE_DLLS}/{entry}"
            if not os.path.isfile(path):
                continue
            shutil.copy(path, folder)
            total += os.path.getsize(path)
            if limit and total >= limit:
                break
    else:  # 6,001 small files in many folders, as bench/make_tree.c lays them out
        make_tree = f"{WORK}/make_tree"
        if not os.path.exists(make_tree):
            run(["cc", "-O2", "-o", make_tree, f"{ROOT}/bench/make_tree.c"])
        os.rmdir(folder)
        run([make_tree, folder, "6000", "300", "1"])
    shutil.copy(PROBE, f"{folder}/{MAIN}")
    return folder


def one_frame_block(frames_block, level, out):
    """The same entry stream as one frame with a 128 MiB window."""
    with open(frames_block, "rb") as f:
        data = f.read()
    stream = out + ".stream"
    with open(out + ".zst", "wb") as f:
        f.write(data[3:-12])
    run(["zstd", "-q", "-d", "-f", out + ".zst", "-o", stream])
    run(["zstd", "-q", "-f", f"-{level}", "--long=27", "-T0", stream, "-o", out + ".one"])
    with open(out + ".one", "rb") as f:
        frame = f.read()
    with open(out, "wb") as f:
        f.write(b"QJX" + frame + b"\0" * 4 + struct.pack("<Q", 3 + len(frame) + 4))
    for leftover in (stream, out + ".one"):
        os.remove(leftover)
    return out + ".zst"  # the frames, for timing zstd -d


def write_floor_inputs(folder):
    listing, blob = f"{WORK}/list", f"{WORK}/blob"
    names = []
    for here, _, files in os.walk(folder):
        for name in files:
            names.append(os.path.relpath(os.path.join(here, name), folder))
    names.sort()
    with open(listing, "w") as l, open(blob, "wb") as b:
        for name in names:
            path = os.path.join(folder, name)
            l.write(f"{os.path.getsize(path)} {name}\n")
            with open(path, "rb") as f:
                shutil.copyfileobj(f, b)
    return listing, blob


def measure(name, runs, level, cores):
    folder = make_corpus(name)
    files = sum(len(f) for _, _, f in os.walk(folder))
    size = sum(os.path.getsize(os.path.join(h, n)) for h, _, f in os.walk(folder) for n in f)
    block = f"{WORK}/frames.block"
    run([TOOL, "pack", folder, "-o", block, "--main", MAIN, "--level", str(level), "--quiet"])
    one = f"{WORK}/one.block"
    frames_zst = one_frame_block(block, level, one)
    launchers = {}
    for kind, source, index in (("frames", block, "decoded"), ("one frame", one, "none")):
        exe = f"{WORK}/{kind.replace(' ', '-')}.exe"
        target = f"{WORK}/target-{kind.replace(' ', '-')}"
        run([TOOL, "build", "--block", source, "-o", exe, "--index", index, "--template",
             winpath(target), "--quiet"])
        launchers[kind] = (exe, target)
    # The launcher's own cost, whatever it unpacks: one of the main program
    # alone, its folder already there.
    alone_folder = f"{WORK}/alone"
    shutil.rmtree(alone_folder, ignore_errors=True)  # the last corpus's
    shutil.rmtree(f"{WORK}/target-alone", ignore_errors=True)
    os.makedirs(alone_folder)
    shutil.copy(f"{folder}/{MAIN}", alone_folder)
    alone = f"{WORK}/alone.exe"
    run([TOOL, "build", alone_folder, "-o", alone, "--main", MAIN, "--template",
         winpath(f"{WORK}/target-alone"), "--quiet"])
    start_windows(alone)
    listing, blob = write_floor_inputs(folder)
    floor_exe = f"{WORK}/win_create_write.exe"
    if not os.path.exists(floor_exe):
        run(["x86_64-w64-mingw32-gcc-posix", "-O2", "-static", "-municode", "-o", floor_exe,
             f"{ROOT}/bench/win_create_write.c"])
    start_windows(f"{folder}/{MAIN}")  # Wine warmed up
    times = {k: [] for k in ("bare", "alone", "decode", "write", "frames", "one frame")}
    peaks = {k: [] for k in ("bare", "frames", "one frame")}
    for _ in range(runs):
        times["bare"].append(start_windows(f"{folder}/{MAIN}"))
        times["alone"].append(start_windows(alone))
        times["decode"].append(timed(["zstd", "-q", "-d", "-c", frames_zst]))
        out = f"{WORK}/write-out"
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        times["write"].append(start_windows(floor_exe, winpath(out), winpath(listing),
                                            winpath(blob)) - times["bare"][-1])
        shutil.rmtree(out)
        peaks["bare"].append(peak_mib(f"{folder}/{MAIN}"))
        for kind, (exe, target) in launchers.items():
            shutil.rmtree(target, ignore_errors=True)
            times[kind].append(start_windows(exe) - times["alone"][-1])
            shutil.rmtree(target)
            peaks[kind].append(peak_mib(exe))
            shutil.rmtree(target)
    t = {k: statistics.median(v) for k, v in times.items()}
    p = {k: statistics.median(v) for k, v in peaks.items()}
    floor = max(t["decode"] / cores, t["write"], (t["decode"] + t["write"]) / cores)
    block_mib = os.path.getsize(block) / MIB
    bound = p["bare"] + block_mib + cores * (32 + 8) + 16
    shutil.rmtree(folder)
    return {"name": name, "files": files, "mb": size / 1e6, "t": t, "p": p, "floor": floor,
            "bound": bound, "block_mib": block_mib}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpora", default="wine-200,wine-all,tree")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--level", type=int, default=3)
    args = parser.parse_args()
    for f in (TOOL, HARNESS, PROBE):
        if not os.path.exists(f):
            sys.exit(f"{f} is missing: build first")
    cores = os.cpu_count() or 1
    fresh_work()
    rows = [measure(c, args.runs, args.level, cores) for c in args.corpora.split(",")]
    print(f"Cold starts at level {args.level} on {cores} cores, medians of {args.runs} runs; "
          "each start less that of a launcher of the main program alone (warm).\n")
    print("| Folder | program alone: direct / launcher | one frame | frames | decode | write "
          "| floor | frames ÷ floor (≤ 1.15) | peak MiB one frame / frames / bound |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- | --- |")
    for r in rows:
        t, p = r["t"], r["p"]
        print(f"| {r['name']}: {r['files']} files, {r['mb']:.0f} MB "
              f"| {t['bare']:.2f} / {t['alone']:.2f} s | {t['one frame']:.2f} s "
              f"| {t['frames']:.2f} s | {t['decode']:.2f} s | {t['write']:.2f} s "
              f"| {r['floor']:.2f} s | {t['frames'] / r['floor']:.2f} "
              f"| {p['one frame']:.0f} / {p['frames']:.0f} / {r['bound']:.0f} |")
    shutil.rmtree(WORK)


if __name__ == "__main__":
    main()
