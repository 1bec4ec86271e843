"""The large-file part of the bench: the stub's size, embedding a ready
block against cp, packing against the zstd tool, and starts of Wine's DLL
folder (whole and in slices) and of a synthetic folder against native
floors, with peak memory. Returns the raw samples; render.py makes the
figures."""
import os
import re
import shutil
import time

from measure import (MAIN_NAME, build_alone, build_launcher, corpus_paths, cut_frame, die,
                     folder_files, launcher_round, peak_kib, remove, run, same_files, say,
                     start_windows, timed)


def memory_check(bench):
    """The peak RSS of `wine PROGRAM` must grow by about 64 MiB when the
    program allocates 64 MiB: then that Unix process is the Windows process."""
    say("== Checking the memory measure with a program that allocates 64 MiB")
    probe = os.path.join(bench.work, "memory_probe.exe")
    probe0 = peak_kib(bench, probe, PROBE_MIB="0")
    probe64 = peak_kib(bench, probe, PROBE_MIB="64")
    say(f"   0 MiB: {probe0} KiB, 64 MiB: {probe64} KiB")
    if not 60 * 1024 <= probe64 - probe0 <= 72 * 1024:
        die("the peak RSS of wine PROGRAM did not grow by about 64 MiB when the program "
            "allocated 64 MiB")
    return {"probe0_kib": probe0, "probe64_kib": probe64}


def wine_list(bench):
    """Wine's DLL folder by name, with sizes."""
    try:
        entries = sorted((e.name, e.stat().st_size) for e in os.scandir(bench.wine_dlls)
                         if e.is_file(follow_symlinks=False))
    except OSError:
        die(f"no Wine DLL folder at {bench.wine_dlls}")
    if not entries:
        die(f"{bench.wine_dlls} holds no file")
    if any(name == MAIN_NAME for name, _ in entries):
        die(f"{bench.wine_dlls} already holds {MAIN_NAME}")
    return entries


def slice_names(entries, slice_mb):
    """The first files by name until slice_mb MB (10^6 bytes) are reached,
    or all of them for "all"."""
    limit = 0 if slice_mb == "all" else int(slice_mb) * 1000000
    names, total = [], 0
    for name, size in entries:
        names.append(name)
        total += size
        if limit and total >= limit:
            break
    return names


def make_wine_slice(bench, entries, slice_mb):
    """big/wine-SLICE: the slice's files as hard links (copies on another
    file system), plus the main program."""
    folder = os.path.join(bench.big, f"wine-{slice_mb}")
    if os.path.isdir(folder):
        return folder
    os.makedirs(folder)
    for name in slice_names(entries, slice_mb):
        source = os.path.join(bench.wine_dlls, name)
        try:
            os.link(source, os.path.join(folder, name))
        except OSError:
            shutil.copy(source, folder)
    shutil.copy(bench.probe, os.path.join(folder, MAIN_NAME))
    return folder


def make_synthetic(bench):
    """FILES files of SIZE_MB MiB in all, half repetitive text, half random."""
    folder = os.path.join(bench.big, "synthetic")
    os.makedirs(os.path.join(folder, "data"))
    shutil.copy(bench.probe, os.path.join(folder, MAIN_NAME))
    per_file = bench.size_mb * 1024 * 1024 // bench.files
    for i in range(1, bench.files + 1):
        with open(os.path.join(folder, "data", f"file{i}.bin"), "wb") as f:
            if i % 2 == 0:
                f.write(os.urandom(per_file))
            else:
                line = f"line {i} of some fairly repetitive application data\n".encode()
                f.write((line * (per_file // len(line) + 1))[:per_file])
    return folder


def default_level(root):
    with open(os.path.join(root, "tools", "pack", "packer.h")) as f:
        found = re.search(r"default_compression_level = (\d+);", f.read())
    if not found:
        die("cannot read the default level from tools/pack/packer.h")
    return int(found.group(1))


def measure_embedding(bench):
    """`fenwix build --block` of a ready block against cp of it."""
    ready = os.path.join(bench.big, "ready.block")
    copy = os.path.join(bench.big, "copy.block")
    embedded = os.path.join(bench.big, "embedded.exe")
    with open(ready, "wb") as f:
        for _ in range(bench.embed_mb):
            f.write(os.urandom(1 << 20))
    cp_us, embed_us = [], []
    for _ in range(bench.runs):
        timed(cp_us, ["cp", ready, copy], "cp of the ready block")
        remove(bench, copy)
        timed(embed_us, [bench.tool, "build", "--block", ready, "-o", embedded, "--quiet"],
              "fenwix build --block")
        remove(bench, embedded)
    remove(bench, ready)
    return {"mb": bench.embed_mb, "cp_us": cp_us, "embed_us": embed_us}


def measure_packing(bench, entries):
    """`fenwix pack` at the default level against `zstd -T0 --long=27` at
    that level over a tar of the same folder."""
    level = default_level(bench.root)
    folder = make_wine_slice(bench, entries, bench.pack_mb)
    tar, block, zst = (os.path.join(bench.big, n) for n in ("pack.tar", "pack.block", "pack.zst"))
    run(["tar", "-cf", tar, "-C", folder, "."], "tar of the packing folder")
    ultra = ["--ultra"] if level > 19 else []
    pack_us, zstd_us = [], []
    for _ in range(bench.pack_runs):
        remove(bench, block, zst)
        timed(pack_us, [bench.tool, "pack", folder, "-o", block, "--main", MAIN_NAME, "--quiet"],
              "fenwix pack")
        timed(zstd_us, ["zstd", "-q", "-T0", "--long=27", f"-{level}", *ultra, tar, "-o", zst],
              "zstd of the packing folder's tar")
    files = folder_files(folder)
    result = {"level": level, "mb": bench.pack_mb, "files": len(files),
              "bytes": sum(size for _, size in files), "pack_us": pack_us, "zstd_us": zstd_us,
              "block_bytes": os.path.getsize(block), "zst_bytes": os.path.getsize(zst)}
    remove(bench, tar, block, zst)
    return result


def measure_corpus(bench, name, title, chart, app):
    """Cold, warm and one-changed starts of one folder against native
    floors, with peak memory, in rounds of every measure in turn, so that a
    slow spell of a shared machine weighs on all of them alike."""
    say(f"== {title}")
    c = corpus_paths(bench, app)
    frame = os.path.join(bench.big, "frame.zst")
    tar = os.path.join(bench.big, "app.tar")
    out = os.path.join(bench.big, "tar-out")
    # The launcher is built from the folder, as users build one; the same
    # block, packed on its own, gives the frame the native floors decode.
    started = time.monotonic()
    build_launcher(bench, app, c.launcher, c.target)
    say(f"   {len(c.files)} files, launcher built in {time.monotonic() - started:.3f} s")
    block_bytes, window = cut_frame(bench, app, frame)
    run(["tar", "-cf", tar, "-C", app, "."], f"tar of {app}")
    build_alone(bench, app)
    s = {k: [] for k in ("bare", "alone", "cold", "warm", "changed", "crc", "decode", "write",
                         "bare_kib", "warm_kib", "cold_kib")}
    main = os.path.join(app, MAIN_NAME)
    start_windows(bench, main)  # warms Wine up
    for round_number in range(bench.runs):
        launcher_round(bench, c, s, remove, round_number == 0)
        timed(s["crc"], [bench.crc_files, c.target], "crc_files")
        timed(s["decode"], ["zstd", "-q", "-d", "-c", frame], "zstd -d of the frame")
        remove(bench, out)
        os.mkdir(out)
        timed(s["write"], ["tar", "-xf", tar, "-C", out], "tar -xf")
        remove(bench, out)
        s["bare_kib"].append(peak_kib(bench, main))
        s["warm_kib"].append(peak_kib(bench, c.launcher))
        remove(bench, c.target)
        s["cold_kib"].append(peak_kib(bench, c.launcher))
    if not same_files(app, c.target):
        die("the cold start did not unpack the folder exactly")
    remove(bench, c.target, c.launcher, frame, tar, os.path.join(bench.big, "alone"),
           os.path.join(bench.big, "alone-target"), bench.alone_exe)
    return {"name": name, "title": title, "chart": chart, "files": len(c.files),
            "bytes": sum(size for _, size in c.files), "block_bytes": block_bytes,
            "window_bytes": window, "changed_bytes": c.changed_size, "samples": s}


def measure_large(bench, started):
    """The whole large-file part, as one JSON-ready dict."""
    part = {"memory_check": memory_check(bench)}
    say("== Stub, embedding, packing")
    entries = wine_list(bench)
    part["stub"] = {"bytes": os.path.getsize(bench.stub)}
    part["embedding"] = measure_embedding(bench)
    part["packing"] = measure_packing(bench, entries)
    corpora = []
    for slice_mb in bench.slices:
        folder = make_wine_slice(bench, entries, slice_mb)
        title = ("Wine DLL folder, all of it" if slice_mb == "all"
                 else f"Wine DLL folder, first {slice_mb} MB by name")
        corpora.append(measure_corpus(bench, f"wine-{slice_mb}", title, "wine", folder))
        if slice_mb != str(bench.pack_mb):
            remove(bench, folder)
    remove(bench, *(os.path.join(bench.big, n) for n in os.listdir(bench.big)
                    if n.startswith("wine-")))
    folder = make_synthetic(bench)
    corpora.append(measure_corpus(
        bench, "synthetic",
        f"Synthetic folder: {bench.files} files, {bench.size_mb} MiB, half text, half random",
        "synthetic", folder))
    remove(bench, folder)
    part["corpora"] = corpora
    part["seconds"] = int(time.monotonic() - started)
    return part
