"""The many-small-files part's section of results.md and its chart's data,
from the raw measures of bench/many_files.py."""
from figures import TABLE_HEAD, mb, median, memory_row, nbytes, row, secs, time_row

NO_QUICK = "skipped: this fenwix program has no --quick-check"


def floor_us(floor, bare):
    """A Windows-side floor: its median outside minus the bare start, but
    never less than the time its program measured for its work inside: a
    floor of a few milliseconds is smaller than the spread of starts under
    Wine, and the work took that long at least."""
    inside = int("%.0f" % (median(floor["inner_ms"]) * 1000))
    return max(median(floor["us"]) - bare, inside)


def per_item(ms, count):
    return "%.0f µs" % (ms * 1000 / count if count > 0 else 0)


def many_figures(part, corpus):
    """A corpus's figures in µs and KiB: starts minus the bare program's
    (after dropping caches, minus the bare start after dropping caches)."""
    s = corpus["samples"]
    bare = median(s["bare"])
    f = {k: median(s[k]) - bare for k in ("alone", "cold", "warm", "changed")}
    f.update({k: median(s[k]) for k in ("decode", "native_crc", "native_write", "bare_kib",
                                        "warm_kib")})
    f.update({k: floor_us(s[k], bare) for k in ("enum", "crc", "write")})
    f["bare"] = bare
    if part["quick_check"]:
        f["quick"] = median(s["quick"]) - bare
    if part["no_drop"] is None:
        f["bare_drop"] = bare_drop = median(s["bare_drop"])
        f["warm_drop"] = median(s["warm_drop"]) - bare_drop
        f["crc_drop"] = floor_us(s["crc_drop"], bare_drop)
        f["enum_drop"] = floor_us(s["enum_drop"], bare_drop)
        if part["quick_check"]:
            f["quick_drop"] = median(s["quick_drop"]) - bare_drop
    return f


def starts_rows(part, corpus, f):
    no_drop = f"not measured: {part['no_drop']}"
    dropped = part["no_drop"] is None
    rows = [
        time_row("cold start (floor: max of decode, create-write)", f["cold"],
                 max(f["decode"], f["write"]), 1.15),
        time_row("warm start (floor: read-crc)", f["warm"], f["crc"], 1.25),
        time_row(f"one file changed, {mb(corpus['changed_bytes'])} (floor: decode + read-crc)",
                 f["changed"], f["decode"] + f["crc"], 1.15),
        time_row("warm start after dropping caches (floor: read-crc after dropping caches)",
                 f["warm_drop"], f["crc_drop"], 1.25) if dropped else
        row("warm start after dropping caches", no_drop, "—", "—", "≤ 1.25 × floor", "—")]
    if not part["quick_check"]:
        rows += [row("`--quick-check` warm start", NO_QUICK, "—", "—", "≤ 1.25 × floor", "—"),
                 row("`--quick-check` warm start after dropping caches", NO_QUICK, "—", "—",
                     "≤ 1.25 × floor", "—")]
    else:
        rows.append(time_row("`--quick-check` warm start (floor: enumerate)", f["quick"], f["enum"],
                             1.25))
        rows.append(time_row("`--quick-check` warm start after dropping caches (floor: enumerate "
                             "after dropping caches)", f["quick_drop"], f["enum_drop"], 1.25)
                    if dropped else
                    row("`--quick-check` warm start after dropping caches", no_drop, "—", "—",
                        "≤ 1.25 × floor", "—"))
    rows.append(memory_row("peak memory, warm start", f["warm_kib"], f["bare_kib"],
                           f["bare_kib"] + 16 * 1024, "bare + 16 MiB"))
    return rows


def floor_notes(part, corpus, f):
    """The Windows-side floors timed outside and inside, and the native ones."""
    s, bare = corpus["samples"], f["bare"]

    def outside(key, bare):
        return secs(median(s[key]["us"]) - bare)

    def inner(key):
        return "%.3f" % median(s[key]["inner_ms"])

    lines = [
        f"- enumerate: {outside('enum', bare)} outside, {inner('enum')} ms inside, "
        f"{per_item(float(inner('enum')), corpus['folders'] + 1)} per folder",
        f"- read-crc ({part['cores']} threads): {outside('crc', bare)} outside, {inner('crc')} ms "
        f"inside, {per_item(float(inner('crc')), corpus['files'])} per file",
        f"- create-write: {outside('write', bare)} outside, {inner('write')} ms inside, "
        f"{per_item(float(inner('write')), corpus['files'])} per file"]
    if part["no_drop"] is None:
        lines.append(f"- after dropping caches: read-crc {outside('crc_drop', f['bare_drop'])} "
                     f"outside, {inner('crc_drop')} ms inside; enumerate "
                     f"{outside('enum_drop', f['bare_drop'])} outside, {inner('enum_drop')} ms "
                     "inside")
    return lines + [
        f"- decode (native `zstd -d` of the block's frame): {secs(f['decode'])}",
        "- native, for comparison: CRC-32 of every file on one thread (crc_files) "
        f"{secs(f['native_crc'])}, `tar -xf` into an empty folder {secs(f['native_write'])}"]


def render_many_corpus(part, corpus, level):
    f = many_figures(part, corpus)
    dropped = f", {secs(f['bare_drop'])} after dropping caches" if part["no_drop"] is None else ""
    return "\n".join([
        f"### {corpus['title']}", "",
        f"{corpus['files']} files in {corpus['folders']} folders, {mb(corpus['bytes'])}; block "
        f"{nbytes(corpus['block_bytes'])} at `--level {level}`.",
        "", *TABLE_HEAD, *starts_rows(part, corpus, f), "",
        f"Bare main program start {secs(f['bare'])}{dropped}",
        "(subtracted from every start and Windows floor above, hot and after dropping caches "
        "alike). A launcher",
        f"of the main program alone starts {secs(f['alone'])} above it. Windows-side floors, timed "
        "outside (minus",
        "the bare start) and inside the program (QueryPerformanceCounter around its work), with the",
        "wall-clock cost per item inside; the floor above is the larger of the two:",
        "", *floor_notes(part, corpus, f), "", ""])


def many_chart(part, corpus):
    """The chart's lines: "label" start floor (s)."""
    f = many_figures(part, corpus)
    dropped, quick = part["no_drop"] is None, part["quick_check"]
    bars = [("cold", f["cold"], max(f["decode"], f["write"])), ("warm", f["warm"], f["crc"]),
            ("one changed", f["changed"], f["decode"] + f["crc"])]
    if dropped:
        bars.append(("warm, dropped", f["warm_drop"], f["crc_drop"]))
    if quick:
        bars.append(("quick", f["quick"], f["enum"]))
    if quick and dropped:
        bars.append(("quick, dropped", f["quick_drop"], f["enum_drop"]))
    return "".join('"%s" %.3f %.3f\n' % (label, start / 1e6, floor / 1e6)
                   for label, start, floor in bars)


NOTES = """### What these figures are

- Starts as in the large-file part: under Wine through `exit_code_harness`, the median of {runs} runs in
  rounds, minus the bare main program's start. The **Windows-side floors** are small static Windows
  programs (bench/win_*.c) timed the same way, from outside through `exit_code_harness`, minus the same
  bare start: a floor program's own process start is a bare program's, so what is left is its work,
  as with a start. Each also measures its work inside (QueryPerformanceCounter); a floor is never
  taken below that, since floors of a few milliseconds are smaller than the spread of starts under
  Wine. A launcher start holds one more process start than a floor (see "alone" above).
- **enumerate** lists every folder with `FindFirstFileExW` (`FindExInfoBasic`,
  `FIND_FIRST_EX_LARGE_FETCH`) and opens no file. **read-crc** opens, reads (256 KiB reads), runs zlib's
  `crc32_z` (libz-mingw-w64, as the launcher) over and closes every file of the list, one thread per
  core claiming files from the shared list. **create-write** makes every folder and file (`CREATE_NEW`)
  below an empty folder and writes its bytes in 32 KiB writes, on one thread, from the tree's bytes one
  after the other in a mapped file. **decode** is native `zstd -d -c FRAME >/dev/null`.
- **Cold start** floor: the larger of decode and create-write (a start that decodes while it writes
  needs no more). **Warm start** floor: read-crc. **One file changed**: decode + read-crc.
- **After dropping caches**: `sync; echo 3 > /proc/sys/vm/drop_caches` before the run (Wine's own files
  leave the cache too), and the bare start it is compared with is measured after dropping caches too.
- **`--quick-check`**: a launcher built with `fenwix build --quick-check` (its own target folder, started
  twice before timing so that its record is there); floor: enumerate, hot or after dropping caches.
- **Peak memory**: as in the large-file part, for the warm start.
- No folder is removed while these corpora are measured (each is moved aside, and all are removed
  at the end): on ext4 without a journal, every file made in the minute after a tree is removed
  costs several times more, which would weigh on whichever measure came next.
- Traces (FENWIX_ONEFILE_TRACE) of one cold and one warm start of each corpus are left in
  build/bench/NAME.cold.trace and NAME.warm.trace.

This part took {seconds} s.
"""


def render_many(part, settings):
    """The many-small-files part's Markdown, and its chart's data by corpus."""
    level = settings["start_level"]
    text = "\n".join([
        "", "## Many small files", "",
        f"Measured {part['date']}, commit {part['commit_note']}, RUNS {part['runs']}, on the "
        "machine above.",
        "Windows-side floors run under the same Wine as the launcher (see the notes below the "
        "tables).", "", ""])
    charts = {}
    for corpus in part["corpora"]:
        text += render_many_corpus(part, corpus, level)
        charts[corpus["name"]] = many_chart(part, corpus)
    return text + NOTES.format(runs=part["runs"], seconds=part["seconds"]), charts
