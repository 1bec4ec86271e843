#!/usr/bin/env python3
"""The benchmark behind ./fenwix bench: launcher starts under Wine against
native floors, packing against the zstd command-line tool, embedding
against cp, and the stub's size; then starts of many small files against
floors measured under the same Wine.

    bench/run.py [--corpora all|large|many] [--quick] [--runs N] ...

It measures (large_files.py, many_files.py), writes every raw measure to
build/bench/results.json, and renders them (render.py) into
bench/results.md and the charts bench/startup.png and bench/many-files.png;
`bench/render.py build/bench/results.json` renders them again alone. A part
not run keeps its section of bench/results.md and its chart as they were.

--quick measures small folders only (a 5 MB Wine slice, a small synthetic
folder, a tree of 300 files; no npm corpus, no dropping of caches, two
runs) into build/bench-quick, and renders there: it shows the pipeline
works, not figures to keep.

Settings come from the options, else the environment (the names in
capitals below), else their defaults. Runs under the Wine prefix
WINEPREFIX (default build/wineprefix) and leaves its wineserver running:
./fenwix bench stops it when it ends. Runs as root, for dropping caches.
Deletes nothing but what it made in its scratch folder (build/bench/tmp,
marked as its own); its other files in build/bench it overwrites, and what
other scripts keep there stays.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from types import SimpleNamespace

from large_files import measure_large
from many_files import measure_many_part
from measure import (MAIN_NAME, START_LEVEL, STUB_LIMIT, die, fresh_work_folder, machine,
                     remove_scratch, run, say, start_windows)
from render import render

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, environment variable, default, default of a quick run, type
SETTINGS = [
    ("corpora", "CORPORA", "all", "all", str),
    ("runs", "RUNS", 5, 2, int),
    ("pack_runs", "PACK_RUNS", 3, 1, int),
    ("slices", "SLICES", "50 200 all", "5", str),
    ("pack_mb", "PACK_MB", 50, 5, int),
    ("files", "FILES", 200, 8, int),
    ("size_mb", "SIZE_MB", 256, 8, int),
    ("embed_mb", "EMBED_MB", 1024, 16, int),
    ("wine_dlls", "WINE_DLLS", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", None, str),
    ("tree_files", "TREE_FILES", 10000, 300, int),
    ("tree_folders", "TREE_FOLDERS", 500, 10, int),
    ("tree_seed", "TREE_SEED", 1, 1, int),
]


def read_settings(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small folders only, into build/")
    for name, env, default, quick, kind in SETTINGS:
        parser.add_argument("--" + name.replace("_", "-"), type=kind, default=None,
                            help=f"default ${env}, else {default}" + (
                                f" ({quick} with --quick)" if quick is not None else ""))
    args = parser.parse_args(argv)
    for name, env, default, quick, kind in SETTINGS:
        if getattr(args, name) is not None:
            continue
        value = os.environ.get(env) or (quick if args.quick and quick is not None else default)
        try:
            setattr(args, name, kind(value))
        except ValueError:
            die(f"{env} is a whole number, not \"{value}\"")
    for name, env, _, _, kind in SETTINGS:
        if kind is int and name != "tree_seed" and getattr(args, name) < 1:
            die(f"{env} is at least 1, not {getattr(args, name)}")
    if args.corpora not in ("all", "large", "many"):
        die(f"CORPORA is all, large or many, not \"{args.corpora}\"")
    if any(s != "all" and not s.isdigit() for s in args.slices.split()):
        die(f"SLICES holds sizes in MB or \"all\", not \"{args.slices}\"")
    return args


def bench_of(args, work):
    """Everything the measures share: settings, paths, and what they keep
    between calls."""
    build = os.path.join(ROOT, "build")
    bench = SimpleNamespace(**vars(args))
    bench.slices = args.slices.split()
    bench.root, bench.work, bench.big = ROOT, work, os.path.join(work, "tmp")
    bench.tool = os.path.join(build, "host", "fenwix")
    bench.stub = os.path.join(build, "win64", "stub", "fenwix-stub.exe")
    bench.harness = os.path.join(build, "win64", "tests", "harness", "exit_code_harness.exe")
    bench.probe = os.path.join(build, "win64", "tests", "harness", "probe_child.exe")
    bench.wine_run = os.path.join(ROOT, "scripts", "wine-run")
    bench.code_file = os.path.join(bench.big, "code")
    bench.crc_files = os.path.join(work, "crc_files")
    bench.alone_exe = os.path.join(bench.big, "alone.exe")
    bench.set_aside_count = 0
    bench.npm = not args.quick
    bench.drop = not args.quick
    bench.no_drop_reason = ("left out of a quick run (it empties the page cache of the whole "
                            "machine)")
    return bench


def check_prerequisites(bench, want_many):
    for path in (bench.tool, bench.stub, bench.harness, bench.probe):
        if not os.path.isfile(path):
            die(f"{path} is missing: build first")
    commands = ["zstd", "tar", "gnuplot", "cc", "x86_64-w64-mingw32-gcc",
                "x86_64-w64-mingw32-gcc-posix", "wine", "wineserver"]
    if want_many and bench.npm:
        commands.append("npm")
    for command in commands:
        if not shutil.which(command):
            die(f"{command} is missing (scripts/setup.sh installs it)")
    if not os.access("/usr/bin/time", os.X_OK):
        die("GNU time (/usr/bin/time) is missing (scripts/setup.sh installs it)")
    if not os.path.isdir(bench.wine_dlls):
        die(f"no Wine DLL folder at {bench.wine_dlls}")


def build_tools(bench, want_many):
    say("== Building the bench's tools")
    source = os.path.join(ROOT, "bench")
    run(["cc", "-O2", "-o", bench.crc_files, os.path.join(source, "crc_files.c"), "-lz"],
        "building crc_files")
    run(["x86_64-w64-mingw32-gcc", "-O2", "-o", os.path.join(bench.work, "memory_probe.exe"),
         os.path.join(source, "memory_probe.c")], "building memory_probe")
    if not want_many:
        return
    run(["cc", "-O2", "-o", os.path.join(bench.work, "make_tree"),
         os.path.join(source, "make_tree.c")], "building make_tree")
    # Static, so that each floor starts as the main program does, with
    # nothing to load but Wine's own DLLs.
    for floor in ("win_enumerate", "win_create_write", "win_read_crc"):
        libs = ["-lz"] if floor == "win_read_crc" else []
        run(["x86_64-w64-mingw32-gcc-posix", "-O2", "-static", "-municode", "-o",
             os.path.join(bench.work, floor + ".exe"), os.path.join(source, floor + ".c"), *libs],
            f"building {floor}")


def wine_environment():
    os.environ["LC_ALL"] = "C"
    os.environ.setdefault("WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
    os.environ["FENWIX_WINEPREFIX"] = os.environ["WINEPREFIX"]  # the prefix scripts/wine-run uses
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")


def measure(bench, args):
    """Every part asked for, as one JSON-ready dict."""
    want_large, want_many = args.corpora in ("all", "large"), args.corpora in ("all", "many")
    started = time.monotonic()
    check_prerequisites(bench, want_many)
    build_tools(bench, want_many)
    # One long-lived wineserver, and one program run first, as ./fenwix does.
    subprocess.run(["wineserver", "-p", "600"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    start_windows(bench, bench.probe)
    data = {"quick": args.quick, "machine": machine(ROOT, bench.work),
            "settings": {name: getattr(args, name) for name, *_ in SETTINGS}}
    data["settings"].update(start_level=START_LEVEL, main_name=MAIN_NAME, stub_limit=STUB_LIMIT)
    if want_large:
        data["large"] = measure_large(bench, started)
    if want_many:
        data["many"] = measure_many_part(bench, data["machine"])
    return data


def main():
    args = read_settings(sys.argv[1:])
    wine_environment()
    work = fresh_work_folder(ROOT, "bench-quick" if args.quick else "bench")
    bench = bench_of(args, work)
    started = time.monotonic()
    try:
        data = measure(bench, args)
    finally:
        remove_scratch(bench)  # everything large lives there
    path = os.path.join(work, "results.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=1)
    into = work if args.quick else os.path.join(ROOT, "bench")
    render(data, into, work)
    wrote = [n for n, part in (("results.md", True), ("startup.png", "large" in data),
                               ("many-files.png", "many" in data)) if part]
    say(f"== Wrote {path} and, in {os.path.relpath(into, ROOT)}/, {', '.join(wrote)} "
        f"({int(time.monotonic() - started)} s)")


if __name__ == "__main__":
    main()
