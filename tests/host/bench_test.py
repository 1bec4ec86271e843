#!/usr/bin/env python3
"""The bench's pure steps. Its render step on fixed measures: the rows come
out as the bench has always written them (lower median of an even count,
starts minus the bare start, a Windows floor never below its inside time,
memory bounds in KiB), and results.md keeps the parts a run did not measure
and whatever follows them. Its reading of the block's frame headers: every
frame's window, not only the last one's. Its guard on deleting: only below
its own folder, links followed but for the last part (removed as a link).

usage: bench_test.py SOURCE_ROOT
"""
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(sys.argv[1], "bench"))
from measure import frame_windows, is_inside  # noqa: E402
from render import merge_results  # noqa: E402
from tables_large import render_large  # noqa: E402
from tables_many import render_many  # noqa: E402

SETTINGS = {"runs": 3, "pack_runs": 1, "start_level": 3, "main_name": "bench-main.exe",
            "stub_limit": 204800}
LARGE = {
    "memory_check": {"probe0_kib": 6656, "probe64_kib": 72397},
    "stub": {"bytes": 185856},
    "embedding": {"mb": 1024, "cp_us": [602000], "embed_us": [770000]},
    "packing": {"level": 19, "mb": 50, "files": 70, "bytes": 54700000, "pack_us": [19901000],
                "zstd_us": [19625000], "block_bytes": 10498750, "zst_bytes": 10509945},
    "corpora": [{
        "name": "wine-50", "title": "Wine DLL folder, first 50 MB by name", "chart": "wine",
        "files": 70, "bytes": 54700000, "block_bytes": 13985753, "window_bytes": 1 << 27,
        "changed_bytes": 6400000,
        "samples": {"bare": [53000, 900000, 40000], "alone": [128000] * 3,
                    "cold": [223000, 223000, 1], "warm": [139000] * 3, "changed": [197000] * 3,
                    "crc": [19700] * 3, "decode": [80000] * 3, "write": [51000] * 3,
                    "bare_kib": [13230] * 3, "warm_kib": [15155] * 3, "cold_kib": [81300] * 3}}],
    "seconds": 248}
MANY = {
    "date": "2026-12-09 06:32 UTC", "commit": "59520e2", "commit_note": "59520e2", "runs": 2,
    "cores": 2, "quick_check": True, "no_drop": "writing /proc/sys/vm/drop_caches failed",
    "seconds": 195,
    "corpora": [{
        "name": "npm", "title": "npm corpus", "files": 3465, "folders": 109, "bytes": 39100000,
        "block_bytes": 5862497, "changed_bytes": 9100000,
        "samples": dict({"bare": [111000, 200000], "alone": [168000] * 2,
                         "cold": [1500000, 1461000], "warm": [546000] * 2,
                         "changed": [577000] * 2, "quick": [204700] * 2, "decode": [57000] * 2,
                         "native_crc": [39000] * 2, "native_write": [178000] * 2,
                         "bare_kib": [13107] * 2, "warm_kib": [15360] * 2},
                        crc_drop={"us": [], "inner_ms": []},
                        enum_drop={"us": [], "inner_ms": []},
                        enum={"us": [116000, 116000], "inner_ms": [50.111, 60.0]},
                        crc={"us": [476000] * 2, "inner_ms": [415.839] * 2},
                        write={"us": [1243000] * 2, "inner_ms": [1186.432] * 2})}]}

LARGE_ROWS = [
    "| stub size (build/win64/stub/fenwix-stub.exe) | 185,856 B | — | — | ≤ 204,800 B | yes |",
    "| embedding a ready 1024 MiB block (`fenwix build --block`) | 0.770 s | 0.602 s | 1.28 "
    "| ≤ 2 × floor | yes |",
    "| pack at the default level 19 (`fenwix pack`) | 19.901 s | 19.625 s | 1.01 "
    "| ≤ 1.1 × floor | yes |",
    "| block size of that pack | 10,498,750 B | 10,509,945 B | 0.9989 | within 2% of the .zst "
    "| yes |",
    "70 files, 54.7 MB; launcher built at `--level 3`, its block 13,985,753 B, frame window "
    "128.0 MiB.",
    "| cold start | 0.170 s | 0.131 s | 1.30 | ≤ 1.15 × floor | no |",
    "| warm start | 0.086 s | 0.020 s | 4.37 | ≤ 1.25 × floor | no |",
    "| one file changed (6.4 MB) | 0.144 s | 0.100 s | 1.44 | ≤ 1.15 × floor | no |",
    "| peak memory, cold start | 79.4 MiB | bare program 12.9 MiB | +66.5 MiB "
    "| ≤ bare + window + block + 16 MiB = 170.3 MiB | yes |",
    "  counted. Checked at every run: a program allocating and touching 64 MiB shows 70.7 MiB",
    "  against 6.5 MiB for one allocating nothing (+64.2 MiB).",
]
MANY_ROWS = [
    "| cold start (floor: max of decode, create-write) | 1.350 s | 1.186 s | 1.14 "
    "| ≤ 1.15 × floor | yes |",
    "| warm start after dropping caches | not measured: writing /proc/sys/vm/drop_caches failed "
    "| — | — | ≤ 1.25 × floor | — |",
    "| `--quick-check` warm start (floor: enumerate) | 0.094 s | 0.050 s | 1.87 "
    "| ≤ 1.25 × floor | no |",
    "- enumerate: 0.005 s outside, 50.111 ms inside, 456 µs per folder",
    "- create-write: 1.132 s outside, 1186.432 ms inside, 342 µs per file",
]


def check_rows(text, rows, what):
    lines = text.splitlines()
    missing = [r for r in rows if r not in lines]
    for r in missing:
        print(f"{what}: no line\n  {r}", file=sys.stderr)
    return not missing


def check_merge():
    """A run of one part keeps the other part and the text after them."""
    old = "HEAD\nLARGE\n<!-- many small files: begin -->\nMANY\n<!-- many small files: end -->\nTAIL\n"
    cases = [
        ((None, "NEW MANY\n"), "HEAD\nLARGE\n<!-- many small files: begin -->\nNEW MANY\n"
                               "<!-- many small files: end -->\nTAIL\n"),
        (("NEW LARGE\n", None), "H\nNEW LARGE\n<!-- many small files: begin -->\nMANY\n"
                                "<!-- many small files: end -->\nTAIL\n"),
    ]
    ok = True
    for (large, many), expected in cases:
        got = merge_results(old, "H\n", large, many)
        if got != expected:
            print(f"merge of {large!r}, {many!r}:\n{got}", file=sys.stderr)
            ok = False
    return ok


def check_frame_windows():
    """Two frames: a 32 MiB window with an empty raw block, then a single
    segment of 200 bytes in one RLE block; cut short, they are no frames."""
    magic = bytes.fromhex("28b52ffd")
    frames = magic + bytes([0x00, 15 << 3]) + bytes.fromhex("010000")
    frames += magic + bytes([0x20, 200]) + (1 | 1 << 1 | 200 << 3).to_bytes(3, "little") + b"x"
    cases = [(frames, [1 << 25, 200]), (frames[:-1], None), (b"QJX" + frames, None)]
    ok = True
    for data, expected in cases:
        if frame_windows(data) != expected:
            print(f"frame_windows of {data.hex()}: {frame_windows(data)}", file=sys.stderr)
            ok = False
    return ok


def check_is_inside():
    with tempfile.TemporaryDirectory() as top:
        scratch = os.path.join(top, "bench", "tmp")
        os.makedirs(scratch)
        os.symlink(top, os.path.join(scratch, "out"))
        cases = [("a/b", True), ("", False), ("..", False), ("../tmpx/a", False),
                 ("a/../../tmp/b", True), ("a/../../c", False), ("out", True),
                 ("out/bench", False)]
        ok = True
        for rel, expected in cases:
            if is_inside(scratch, os.path.join(scratch, rel)) != expected:
                print(f"is_inside of {rel!r}: not {expected}", file=sys.stderr)
                ok = False
        return ok


def main():
    data = {"settings": SETTINGS, "large": LARGE}
    large_md, charts = render_large(data)
    many_md, many_charts = render_many(MANY, SETTINGS)
    ok = check_rows(large_md, LARGE_ROWS, "large files")
    ok = check_rows(many_md, MANY_ROWS, "many files") and ok
    ok = check_rows(charts["wine"], ["54.7 0.170 0.086 0.144 0.131 0.020 0.100"], "chart") and ok
    ok = check_rows(many_charts["npm"], ['"quick" 0.094 0.050'], "many chart") and ok
    ok = check_merge() and ok
    ok = check_frame_windows() and ok
    ok = check_is_inside() and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
