"""The large-file part's sections of results.md and its chart's data,
from the raw measures of bench/large_files.py."""
from figures import TABLE_HEAD, mb, median, memory_row, mib, nbytes, row, secs, time_row



def render_stub_embed_pack(part, settings):
    stub, embed, pack = part["stub"], part["embedding"], part["packing"]
    limit = settings["stub_limit"]
    ratio = "%.4f" % (pack["block_bytes"] / pack["zst_bytes"])
    level = pack["level"]
    return "\n".join([
        "## Stub, embedding and packing", "", *TABLE_HEAD,
        row("stub size (build/win64/stub/fenwix-stub.exe)", nbytes(stub["bytes"]), "—", "—",
            f"≤ {nbytes(limit)}", "yes" if stub["bytes"] <= limit else "no"),
        time_row(f"embedding a ready {embed['mb']} MiB block (`fenwix build --block`)",
                 median(embed["embed_us"]), median(embed["cp_us"]), 2),
        time_row(f"pack at the default level {level} (`fenwix pack`)", median(pack["pack_us"]),
                 median(pack["zstd_us"]), 1.1),
        row("block size of that pack", nbytes(pack["block_bytes"]), nbytes(pack["zst_bytes"]),
            ratio, "within 2% of the .zst", "yes" if 0.98 <= float(ratio) <= 1.02 else "no"),
        "",
        "Embedding: floor is `cp` of the same file on the same disk; both start with nothing left to",
        "write back (`sync` before each run), and `fenwix build` flushes its output to the disk "
        "before it returns.",
        f"Packing: on the Wine DLL slice of the first {pack['mb']} MB ({pack['files']} files, "
        f"{mb(pack['bytes'])}); floor is",
        f"`zstd -T0 --long=27 -{level}` over an uncompressed tar of the same folder (the tar made "
        "outside the",
        "timing), its output to a file; `fenwix pack` flushes its block to the disk, zstd does not.",
        "", ""])


def large_figures(corpus):
    """A large-file corpus's figures in µs and KiB, each start minus the
    bare program's."""
    s = corpus["samples"]
    bare = median(s["bare"])
    f = {k: median(s[k]) - bare for k in ("alone", "cold", "warm", "changed")}
    f.update({k: median(s[k]) for k in ("crc", "decode", "write", "bare_kib", "warm_kib",
                                        "cold_kib")})
    f["bare"] = bare
    return f


def render_large_corpus(corpus, level):
    f = large_figures(corpus)
    window_kib, block = corpus["window_bytes"] // 1024, corpus["block_bytes"]
    cold_bound = f["bare_kib"] + window_kib + block // 1024 + 16 * 1024
    return "\n".join([
        f"## {corpus['title']}", "",
        f"{corpus['files']} files, {mb(corpus['bytes'])}; launcher built at `--level {level}`, "
        f"its block {nbytes(block)}, frame window {mib(window_kib)}.",
        "", *TABLE_HEAD,
        time_row("cold start", f["cold"], f["decode"] + f["write"], 1.15),
        time_row("warm start", f["warm"], f["crc"], 1.25),
        time_row(f"one file changed ({mb(corpus['changed_bytes'])})", f["changed"],
                 f["decode"] + f["crc"], 1.15),
        memory_row("peak memory, warm start", f["warm_kib"], f["bare_kib"],
                   f["bare_kib"] + 16 * 1024, "bare + 16 MiB"),
        memory_row("peak memory, cold start", f["cold_kib"], f["bare_kib"], cold_bound,
                   "bare + window + block + 16 MiB"),
        "",
        f"Bare main program start {secs(f['bare'])} (subtracted from every start above). "
        "A launcher of the main",
        f"program alone starts {secs(f['alone'])} above it: the fixed cost of a launcher start, "
        "held by every start above.",
        "Native parts of the floors:",
        f"decode {secs(f['decode'])}, write {secs(f['write'])}, CRC-32 of every file "
        f"{secs(f['crc'])}.",
        "", ""])


def large_chart_line(corpus):
    """size_MB cold warm changed cold_floor warm_floor changed_floor (s)."""
    f = large_figures(corpus)
    values = (f["cold"], f["warm"], f["changed"], f["decode"] + f["write"], f["crc"],
              f["decode"] + f["crc"])
    return "%.1f " % (corpus["bytes"] / 1e6) + " ".join("%.3f" % (v / 1e6) for v in values) + "\n"


def render_large_notes(part, settings):
    runs, level, main = settings["runs"], settings["start_level"], settings["main_name"]
    p0, p64 = part["memory_check"]["probe0_kib"], part["memory_check"]["probe64_kib"]
    return "\n".join([
        "## What each figure above is", "",
        "- **Starts** run under Wine through `exit_code_harness` (scripts/wine-run), wall-clock "
        "from before",
        f"  `wine` starts until it ends, each the median of {runs} runs minus the median of {runs} "
        "starts of the",
        f"  bare main program (the same `{main}`, a copy of the test harness's probe_child.exe, "
        "run the same",
        f"  way). Launchers are built from the folder with `fenwix build --level {level}`. The runs "
        "of a corpus",
        f"  go in {runs} rounds, each round taking every measure once, so that a slow spell weighs "
        "on all alike.",
        "  Every timed run, native or not, starts after `sync`; the files it reads are in the page "
        "cache;",
        "  nothing is flushed to the disk inside the timing. A launcher's start also holds the "
        "start of one",
        "  more Windows process than the bare start (the launcher itself), which no native floor "
        "has.",
        "- **Cold start**: the target folder is removed before each run. Floor: decoding the "
        "block's Zstandard",
        "  frame (cut out of the block) with `zstd -d -c FRAME >/dev/null`, plus writing the files "
        "natively:",
        "  `tar -xf` of an uncompressed tar of the application folder into an empty folder.",
        "- **Warm start**: every file is already there with the right content. Floor: "
        "bench/crc_files.c, which",
        "  reads every file of the unpacked folder and runs zlib's `crc32_z` over it on one thread.",
        "- **One file changed**: before each run, 16 bytes in the middle of the folder's largest "
        "file are",
        "  overwritten (same size); the launcher must put it right. Floor: the decode above plus "
        "the CRC-32 of every file.",
        "- **Peak memory**: the peak resident set size (GNU time's `%M`) of `wine PROGRAM.exe` run "
        "directly,",
        f"  the median of {runs} runs each (bare program, warm start, cold start), in the same "
        "rounds. That Unix",
        "  process is the Windows process itself; the program a launcher starts is another "
        "process, not",
        f"  counted. Checked at every run: a program allocating and touching 64 MiB shows "
        f"{mib(p64)}",
        f"  against {mib(p0)} for one allocating nothing (+{mib(p64 - p0)}).",
        "  Resident pages of mapped files (the launcher's own image, which holds the block) count.",
        "  The window is the largest of the block's frames' windows, read from their headers;",
        "  the block bound is the whole block.",
        "",
        f"The part above took {part['seconds']} s.", ""])


def render_large(data):
    """The large-file part's Markdown, and its chart's data by series."""
    part, settings = data["large"], data["settings"]
    text = render_stub_embed_pack(part, settings)
    charts = {"wine": "", "synthetic": ""}
    for corpus in part["corpora"]:
        text += render_large_corpus(corpus, settings["start_level"])
        charts[corpus["chart"]] += large_chart_line(corpus)
    return text + render_large_notes(part, settings), charts
