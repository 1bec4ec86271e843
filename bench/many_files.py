"""The many-small-files part of the bench: the node_modules of pinned npm
packages and a synthetic tree, each started cold, warm, with one file
changed, after dropping the page cache, and with --quick-check, against
floors that run under the same Wine (bench/win_*.c). Returns the raw
samples; render.py makes the figures."""
import json
import os
import re
import shutil
import subprocess
import time

from measure import (MAIN_NAME, build_alone, build_launcher, check_started, corpus_paths,
                     cut_frame, die, drop_caches, folder_count, folder_files, launcher_round,
                     must_drop_caches, output_of, peak_kib, remove, run, same_files, say,
                     set_aside, start_windows, timed, timed_start, winpath)

INNER_MS = re.compile(r", ([0-9.]+) ms$")


def make_npm(bench):
    """node_modules of bench/npm-corpus, as it would ship: no install
    scripts, and no links (.bin), which a Windows folder would not hold."""
    folder = os.path.join(bench.big, "npm")
    os.makedirs(folder)
    corpus = os.path.join(bench.root, "bench", "npm-corpus")
    for name in ("package.json", "package-lock.json"):
        shutil.copy(os.path.join(corpus, name), folder)
    run(["npm", "ci", "--ignore-scripts", "--no-bin-links", "--no-update-notifier", "--no-audit",
         "--no-fund", "--loglevel=warn"], "npm ci of bench/npm-corpus", cwd=folder,
        stdout=subprocess.DEVNULL)
    shutil.copy(bench.probe, os.path.join(folder, MAIN_NAME))
    with open(os.path.join(corpus, "package.json")) as f:
        pinned = json.load(f)["dependencies"]
    names = ", ".join(f"{name} {version}" for name, version in pinned.items())
    return folder, f"npm: node_modules of {names} (bench/npm-corpus)"


def make_tree(bench):
    folder = os.path.join(bench.big, "tree")
    run([os.path.join(bench.work, "make_tree"), folder, str(bench.tree_files),
         str(bench.tree_folders), str(bench.tree_seed)], "writing the synthetic tree")
    shutil.copy(bench.probe, os.path.join(folder, MAIN_NAME))
    return folder, (f"Synthetic tree: {bench.tree_files} files of 1–64 KiB in "
                    f"{bench.tree_folders} folders, seed {bench.tree_seed}")


def floor_run(bench, floor, program, *args):
    """Runs a floor program the way a start is run, keeping the time of its
    work that it measured inside (in ms); returns its line."""
    line_file = os.path.join(bench.big, "floor.line")
    with open(line_file, "w") as out:
        timed_start(bench, floor["us"], program, os.path.basename(program),
                    *(winpath(a) for a in args), out=out)
    with open(line_file, encoding="utf-8", errors="replace") as f:
        line = f.read().replace("\r", "").strip()
    inner = INNER_MS.search(line)
    if not inner:
        die(f"{os.path.basename(program)} printed no time of its work: {line}")
    floor["inner_ms"].append(float(inner.group(1)))
    return line


def floor_inputs(bench, c):
    """What the Windows floors work from: the list of files (a launcher's
    index) and their bytes one after the other (what a launcher decodes)."""
    listing, blob = os.path.join(bench.big, "list"), os.path.join(bench.big, "blob")
    with open(listing, "w") as f:
        f.writelines(f"{size} {rel}\n" for rel, size in c.files)
    with open(blob, "wb") as out:
        for rel, _ in c.files:
            with open(os.path.join(c.app, rel), "rb") as f:
                shutil.copyfileobj(f, out)
    if os.path.getsize(blob) != sum(size for _, size in c.files):
        die(f"the blob of {c.app} is not the folder's size")
    return listing, blob


def check_floors(bench, c, lines, expected, out):
    """Each floor did all of its work: every folder and file seen, every
    file read, every file written."""
    enum, crc = lines
    seen = f"{len(folder_files(c.target))} files"
    if enum.split(",")[0] != seen or f", {folder_count(c.target)} folders," not in enum:
        die(f"win_enumerate saw other counts: {enum}")
    total = sum(size for _, size in c.files)
    if not crc.startswith(f"{len(c.files)} files, {total} bytes, crc xor {expected},"):
        die(f"win_read_crc did not read what crc_files did: {crc} (crc xor {expected})")
    if not same_files(c.app, out):
        die("win_create_write did not write the folder exactly")


def exe(bench, name):
    return os.path.join(bench.work, name + ".exe")


def one_round(bench, c, s, first):
    """Every measure of a corpus once, hot and after dropping caches."""
    out = os.path.join(bench.big, "write-out")
    launcher_round(bench, c, s, set_aside, first)
    if bench.quick_check:
        timed_start(bench, s["quick"], c.quick, "the --quick-check launcher (warm start)")
    lines = (floor_run(bench, s["enum"], exe(bench, "win_enumerate"), c.target),
             floor_run(bench, s["crc"], exe(bench, "win_read_crc"), c.target, c.listing))
    floor_run(bench, s["write"], exe(bench, "win_create_write"), out, c.listing, c.blob)
    if first:
        check_floors(bench, c, lines, c.expected, out)
    set_aside(bench, out)
    timed(s["decode"], ["zstd", "-q", "-d", "-c", c.frame], "zstd -d of the frame")
    timed(s["native_crc"], [bench.crc_files, c.target], "crc_files")
    os.mkdir(out)
    timed(s["native_write"], ["tar", "-xf", c.tar, "-C", out], "tar -xf")
    set_aside(bench, out)
    if bench.can_drop:
        main = os.path.join(c.app, MAIN_NAME)
        must_drop_caches()
        timed_start(bench, s["bare_drop"], main, "the bare main program")
        must_drop_caches()
        timed_start(bench, s["warm_drop"], c.launcher,
                    "the launcher (warm start after dropping caches)")
        must_drop_caches()
        floor_run(bench, s["crc_drop"], exe(bench, "win_read_crc"), c.target, c.listing)
        must_drop_caches()
        floor_run(bench, s["enum_drop"], exe(bench, "win_enumerate"), c.target)
        if bench.quick_check:
            must_drop_caches()
            timed_start(bench, s["quick_drop"], c.quick,
                        "the --quick-check launcher (warm start after dropping caches)")
    s["bare_kib"].append(peak_kib(bench, os.path.join(c.app, MAIN_NAME)))
    s["warm_kib"].append(peak_kib(bench, c.launcher))


def prepare_corpus(bench, app):
    c = corpus_paths(bench, app)
    c.quick = os.path.join(bench.big, "quick.exe")
    c.quick_target = os.path.join(bench.big, "quick-target")
    c.frame = os.path.join(bench.big, "frame.zst")
    c.tar = os.path.join(bench.big, "app.tar")
    started = time.monotonic()
    build_launcher(bench, app, c.launcher, c.target)
    say(f"   {len(c.files)} files, launcher built in {time.monotonic() - started:.3f} s")
    if bench.quick_check:
        build_launcher(bench, app, c.quick, c.quick_target, "--quick-check")
    c.block_bytes, _ = cut_frame(bench, app, c.frame)
    build_alone(bench, app)
    c.listing, c.blob = floor_inputs(bench, c)
    run(["tar", "-cf", c.tar, "-C", app, "."], f"tar of {app}")
    c.expected = output_of([bench.crc_files, app]).rsplit("crc xor ", 1)[-1].strip()
    return c


def measure_many(bench, name, title, app):
    """Measures one corpus of many small files, as one JSON-ready dict."""
    say(f"== {title}")
    c = prepare_corpus(bench, app)
    s = {k: [] for k in ("bare", "alone", "cold", "warm", "changed", "quick", "decode",
                         "native_crc", "native_write", "bare_drop", "warm_drop", "quick_drop",
                         "bare_kib", "warm_kib")}
    s.update({k: {"us": [], "inner_ms": []} for k in ("enum", "crc", "write", "crc_drop",
                                                     "enum_drop")})
    start_windows(bench, os.path.join(app, MAIN_NAME))  # warms Wine up
    if bench.quick_check:
        # Unpacked, then started once more, so that its record is there.
        set_aside(bench, c.quick_target)
        for which in ("first", "second"):
            start_windows(bench, c.quick)
            check_started(bench, f"the --quick-check launcher ({which} start)")
    for round_number in range(bench.runs):
        one_round(bench, c, s, round_number == 0)
    # One traced cold and warm start, for reading where the time goes.
    set_aside(bench, c.target)
    for kind in ("cold", "warm"):
        trace = winpath(os.path.join(bench.work, f"{name}.{kind}.trace"))
        start_windows(bench, c.launcher, env=dict(os.environ, FENWIX_ONEFILE_TRACE=trace))
    set_aside(bench, c.target, c.quick_target, os.path.join(bench.big, "alone"),
              os.path.join(bench.big, "alone-target"))
    remove(bench, c.launcher, c.quick, c.frame, c.listing, c.blob, c.tar, bench.alone_exe)
    return {"name": name, "title": title, "files": len(c.files),
            "folders": folder_count(app), "bytes": sum(size for _, size in c.files),
            "block_bytes": c.block_bytes, "changed_bytes": c.changed_size, "samples": s}


def measure_many_part(bench, machine):
    """The whole many-small-files part, as one JSON-ready dict."""
    started = time.monotonic()
    part = {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
            "commit": machine["commit"], "commit_note": machine["commit_note"],
            "runs": bench.runs, "cores": os.cpu_count(), "corpora": []}
    bench.quick_check = "--quick-check" in output_of([bench.tool, "--help"])
    if bench.drop and not drop_caches():
        bench.no_drop_reason = "writing /proc/sys/vm/drop_caches failed (not root?)"
        bench.drop = False
    bench.can_drop = bench.drop
    part["quick_check"] = bench.quick_check
    part["no_drop"] = None if bench.can_drop else bench.no_drop_reason
    if not bench.can_drop:
        say(f"   cannot drop caches ({bench.no_drop_reason}): those figures are left out")
    makers = [make_npm, make_tree] if bench.npm else [make_tree]
    for make in makers:
        folder, title = make(bench)
        part["corpora"].append(measure_many(bench, os.path.basename(folder), title, folder))
        set_aside(bench, folder)
    part["seconds"] = int(time.monotonic() - started)
    return part
