#!/usr/bin/env python3
"""Turns the bench's measures (the JSON bench/run.py writes) into its
figures: the sections of results.md, with each figure's floor, ratio and
target, and the charts startup.png and many-files.png (gnuplot).

    bench/render.py JSON [--into DIR]

A part the JSON does not hold keeps its section of DIR/results.md (default
bench/) and its chart as they were, and so does whatever follows the
many-small-files section (figures other scripts measured). Measures are
kept raw in the JSON, so that tables can be rendered again without
measuring again.
"""
import argparse
import json
import os
import subprocess
import sys

from figures import subtitle
from tables_large import render_large
from tables_many import render_many

HERE = os.path.dirname(os.path.abspath(__file__))
MANY_BEGIN = "<!-- many small files: begin -->"
MANY_END = "<!-- many small files: end -->"


# ---------------------------------------------------------------- the machine


def render_head(data):
    m, s = data["machine"], data["settings"]
    return "\n".join([
        "# Fenwix Onefile benchmark",
        "",
        "Written by `./fenwix bench` (bench/run.py); every number below comes from a run of it. "
        "This table",
        "and the sections down to the many-small-files one come from the run it dates; that section",
        "names its own run (`bench/run.py --corpora many` runs it alone).",
        "",
        "| | |",
        "|---|---|",
        f"| Date | {m['date']} |",
        f"| Commit | {m['commit_note']} |",
        f"| CPU | {m['cpu']}, {m['cores']} cores |",
        f"| RAM | {m['ram']} |",
        f"| System | {m['system']} |",
        f"| Wine | {m['wine']} |",
        f"| zstd | {m['zstd']} (command-line tool) |",
        f"| RUNS | {s['runs']} (each start and floor is a median of RUNS runs; packing a median "
        f"of {s['pack_runs']}) |",
        "", ""])


# ---------------------------------------------------------------- charts


def draw(script, variables, into):
    """Runs a gnuplot script of this folder with its variables set."""
    assignments = "; ".join(f"{name}='{value}'" for name, value in variables.items())
    result = subprocess.run(["gnuplot", "-e", assignments, os.path.join(HERE, script)], cwd=into)
    if result.returncode != 0:
        sys.exit(f"render: gnuplot {script} failed")


def write_text(path, text):
    """Replaces a file only once its new text is whole."""
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".new", path)


def draw_large(data, charts, into, data_dir):
    variables = {}
    for series, text in charts.items():
        variables[series] = os.path.join(data_dir, f"{series}.dat")
        write_text(variables[series], text)
    m = data["machine"]
    variables["out"] = os.path.join(into, "startup.png")
    variables["subtitle"] = subtitle(m["date"], m["commit"], data["settings"]["runs"],
                                     data["settings"]["start_level"])
    draw("startup.gp", variables, into)


def draw_many(part, charts, into, data_dir, level):
    variables = {}
    for name, text in charts.items():
        variables[name] = os.path.join(data_dir, f"many-{name}.dat")
        write_text(variables[name], text)
    variables["out"] = os.path.join(into, "many-files.png")
    variables["subtitle"] = subtitle(part["date"], part["commit"], part["runs"], level)
    draw("many-files.gp", variables, into)


# ---------------------------------------------------------------- results.md


def split_results(text):
    """An earlier results.md as (before, many, after) its many-small-files
    section, the section with its marker lines."""
    lines = text.splitlines(keepends=True)
    try:
        begin = lines.index(MANY_BEGIN + "\n")
        end = lines.index(MANY_END + "\n", begin)
    except ValueError:
        return text, "", ""
    return "".join(lines[:begin]), "".join(lines[begin:end + 1]), "".join(lines[end + 1:])


def merge_results(old, head, large_md, many_md):
    """results.md from the parts measured (None for a part not measured),
    keeping the earlier file's parts that were not, and whatever followed
    its many-small-files section."""
    before, many, after = split_results(old) if old is not None else ("", "", "")
    text = head + large_md if large_md is not None else (before or head)
    if many_md is not None:
        many = MANY_BEGIN + "\n" + many_md + MANY_END + "\n"
    return text + many + after


def render(data, into, data_dir):
    """Writes into/results.md and the charts of the parts data holds."""
    into = os.path.abspath(into)
    path = os.path.join(into, "results.md")
    old = None
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            old = f.read()
    large_md = many_md = None
    if data.get("large"):
        large_md, charts = render_large(data)
        draw_large(data, charts, into, data_dir)
    if data.get("many"):
        many_md, charts = render_many(data["many"], data["settings"])
        draw_many(data["many"], charts, into, data_dir, data["settings"]["start_level"])
    write_text(path, merge_results(old, render_head(data), large_md, many_md))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("json", help="the measures, as bench/run.py wrote them")
    parser.add_argument("--into", default=HERE,
                        help="the folder of results.md and the charts (default bench/)")
    args = parser.parse_args()
    try:
        with open(args.json, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError) as e:
        sys.exit(f"render: cannot read {args.json}: {e}")
    if not isinstance(data, dict):
        sys.exit(f"render: {args.json} does not hold the bench's measures")
    if data.get("quick") and os.path.realpath(args.into) == os.path.realpath(HERE):
        sys.exit("render: a quick run's figures do not go into bench/; give --into DIR")
    try:
        render(data, args.into, os.path.dirname(os.path.abspath(args.json)))
    except (KeyError, IndexError, TypeError, AttributeError, ZeroDivisionError) as e:
        sys.exit(f"render: {args.json} does not hold the bench's measures "
                 f"({type(e).__name__}: {e})")
    print(f"render: wrote {os.path.join(args.into, 'results.md')}", file=sys.stderr)


if __name__ == "__main__":
    main()
