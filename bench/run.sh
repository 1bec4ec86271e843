#!/usr/bin/env bash
# The benchmark behind ./fenwix bench: launcher starts against native floors,
# packing against the zstd command-line tool, embedding against cp, and the
# stub's size; then starts of many small files against floors measured under
# Wine. Writes bench/results.md and the charts bench/startup.png and
# bench/many-files.png.
#
# CORPORA picks the parts: "large" (stub, embedding, packing and the
# large-file corpora below), "many" (the many-small-files corpora, a few
# minutes), or "all" (the default, what ./fenwix bench runs). A part not run
# keeps its section of bench/results.md and its chart as they were; each
# section names the run it comes from.
#
# Large-file corpora: Wine's own 64-bit Windows DLL folder (WINE_DLLS), whole
# and in slices of its first files by name (SLICES, in MB, "all" for the
# whole folder), and a synthetic folder (FILES files, SIZE_MB MiB, half text,
# half random). Each gets the bench's main program: a copy of the test
# harness's probe_child.exe, which prints a few lines and exits at once.
#
# For each corpus, with a launcher built from the folder at --level 3:
#   cold start     the target folder removed before each run
#   warm start     every file already right
#   one changed    a few bytes of the largest file overwritten before each run
# each timed under Wine through exit_code_harness, wall-clock, the median of
# RUNS runs, minus the median start of the bare main program run the same
# way. Floors are native: the CRC-32 of every file (bench/crc_files.c), the
# decoding of the block's frame with `zstd -d`, and `tar -xf` of an
# uncompressed tar of the folder into an empty folder. Peak memory is the
# peak resident set size that GNU time reports for `wine LAUNCHER.exe`: that
# Unix process is the launcher's Windows process itself (the program it
# starts is a process of its own, not counted), which the script checks with
# bench/memory_probe.c allocating 64 MiB.
#
# Many-small-files corpora, each with the main program at its top:
#   npm   node_modules of bench/npm-corpus (pinned by its package-lock.json),
#         which `npm ci` fetches from the npm registry into build/bench
#   tree  TREE_FILES files of 1 to 64 KiB in TREE_FOLDERS folders, written by
#         bench/make_tree.c from TREE_SEED: half text-like, half random
# The same cold, warm and one-changed starts, plus a warm start after
# `sync; echo 3 > /proc/sys/vm/drop_caches`, and, for a launcher built with
# --quick-check when the fenwix program has that option, warm starts hot and
# after dropping caches. Their floors run under the same Wine, so that what
# Wine costs per file is in the floor as in the start: small Windows programs
# built here with the mingw-w64 compiler, statically,
#   win_enumerate     lists every folder (FindFirstFileExW, basic, large fetch)
#   win_read_crc      opens, reads, CRC-32s (zlib's crc32_z, as the launcher)
#                     and closes every file, a thread per core
#   win_create_write  makes every folder and file into an empty folder and
#                     writes its bytes, from the tree's blob, on one thread
# and the native `zstd -d` of the frame as the decode floor. A floor is timed
# exactly as a start is, from outside through exit_code_harness, minus the
# bare main program's start run the same way (after dropping caches too, for
# the figures after dropping caches): a floor program's own process start is
# that of a bare program, so what is left is its work, as what is left of a
# start is the launcher's. Each floor program also prints the time of its
# work measured inside with QueryPerformanceCounter, which the results show
# beside it; a floor is never taken below that inside time, since a floor of
# a few milliseconds is smaller than the spread of starts under Wine. A
# launcher start holds one more process start than a floor (the
# launcher's own); the launcher of the main program alone shows that cost.
#
# Packing: `fenwix pack` at the default level against `zstd -T0 --long=27` at
# that level over a tar of the same folder (the Wine slice of PACK_MB MB,
# median of PACK_RUNS). Embedding: `fenwix build --block` of a ready EMBED_MB
# MiB block against cp (median of RUNS).
#
# Settings from the environment, with their defaults: CORPORA=all, RUNS=5,
# PACK_RUNS=3, SLICES="50 200 all", PACK_MB=50, FILES=200, SIZE_MB=256,
# EMBED_MB=1024, WINE_DLLS, TREE_FILES=10000, TREE_FOLDERS=500,
# TREE_SEED=1. Runs under the Wine prefix WINEPREFIX (default
# build/wineprefix) and leaves its wineserver running: ./fenwix bench stops
# it when it ends. Runs as root, for dropping caches.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${RUNS:-5}
pack_runs=${PACK_RUNS:-3}
slices=${SLICES:-50 200 all}
pack_mb=${PACK_MB:-50}
synth_files=${FILES:-200}
synth_mb=${SIZE_MB:-256}
embed_mb=${EMBED_MB:-1024}
wine_dlls=${WINE_DLLS:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}
corpora=${CORPORA:-all}
tree_files=${TREE_FILES:-10000}
tree_folders=${TREE_FOLDERS:-500}
tree_seed=${TREE_SEED:-1}

tool="$root/build/host/fenwix"
stub="$root/build/win64/stub/fenwix-stub.exe"
harness="$root/build/win64/tests/harness/exit_code_harness.exe"
probe="$root/build/win64/tests/harness/probe_child.exe"
wine_run="$root/scripts/wine-run"
work="$root/build/bench"
big="$work/tmp"  # everything large lives here and is removed at the end
main_name=bench-main.exe
start_level=3
stub_limit=204800
window_default=$((1 << 27))

export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export FENWIX_WINEPREFIX=$WINEPREFIX  # the prefix scripts/wine-run uses
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

die() {
    printf 'bench: %s\n' "$*" >&2
    exit 1
}
case "$corpora" in
all) want_large=1 want_many=1 ;;
large) want_large=1 want_many= ;;
many) want_large= want_many=1 ;;
*) die "CORPORA is all, large or many, not \"$corpora\"" ;;
esac
for f in "$tool" "$stub" "$harness" "$probe"; do [ -f "$f" ] || die "$f is missing: build first"; done
for c in zstd tar gnuplot cc x86_64-w64-mingw32-gcc x86_64-w64-mingw32-gcc-posix wine wineserver; do
    command -v "$c" >/dev/null || die "$c is missing (scripts/setup.sh installs it)"
done
[ -z "$want_many" ] || command -v npm >/dev/null || die "npm is missing (scripts/setup.sh installs it)"
[ -x /usr/bin/time ] || die "GNU time (/usr/bin/time) is missing (scripts/setup.sh installs it)"
[ -d "$wine_dlls" ] || die "no Wine DLL folder at $wine_dlls"

rm -rf "$work"
mkdir -p "$work" "$big"
trap 'rm -rf "$big"' EXIT
bench_start=${EPOCHREALTIME/./}

# ---------------------------------------------------------------- helpers

winpath() { printf 'Z:%s' "${1//\//\\}"; }
# The median of the numbers in a file, one per line.
median() { sort -n "$1" | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
secs() { awk -v u="$1" 'BEGIN { printf "%.3f s", u / 1e6 }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1e6 }'; }
bytes() { printf '%s B' "$(echo "$1" | sed ':a; s/\B[0-9]\{3\}\>/,&/; ta')"; }
folder_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }
folder_files() { find "$1" -type f | wc -l; }

# Runs a command once, with nothing left to write back before it starts, and
# appends its wall-clock time in microseconds to FILE. Its output goes to the
# file timed_out names, when set.
timed() {
    local file=$1 t0 t1
    shift
    sync
    t0=${EPOCHREALTIME/./}
    "$@" </dev/null >"${timed_out:-/dev/null}"
    t1=${EPOCHREALTIME/./}
    echo $((t1 - t0)) >>"$file"
}

# A Windows program started the way the tests start one: exit_code_harness
# under scripts/wine-run; the program's exit code must be 0. Arguments after
# the program are passed as they are (Windows paths, with winpath).
start_windows() {
    rm -f "$work/code"
    "$wine_run" "$harness" "$(winpath "$work/code")" "$(winpath "$1")" "${@:2}"
}
check_started() {
    # The harness writes the code in text mode: a CR ends the line.
    [ "$(tr -d '\r\n' <"$work/code" 2>/dev/null)" = 0 ] || die "$1 did not end with exit code 0"
}

# The peak resident set size, in KiB, of the Wine process of a Windows
# program run directly: peak_kib PROGRAM [NAME=VALUE...] (its environment).
peak_kib() {
    sync
    /usr/bin/time -f %M -o "$work/time.out" env "${@:2}" "$wine_run" "$1" </dev/null >/dev/null ||
        die "$1 failed under Wine"
    tail -n 1 "$work/time.out"
}

# Table rows. A time row: value and floor in microseconds, the target factor.
table_row() { printf '| %s | %s | %s | %s | %s | %s |\n' "$@"; }
time_row() {
    local label=$1 value=$2 floor=$3 factor=$4 ratio met
    ratio=$(awk -v v="$value" -v f="$floor" 'BEGIN { if (f > 0) printf "%.2f", v / f; else print "n/a" }')
    met=$(awk -v v="$value" -v f="$floor" -v t="$factor" 'BEGIN { print (f > 0 && v <= t * f) ? "yes" : "no" }')
    table_row "$label" "$(secs "$value")" "$(secs "$floor")" "$ratio" "≤ $factor × floor" "$met"
}
# A memory row: value, bare program and bound in KiB, the bound as words.
memory_row() {
    local label=$1 value=$2 bare=$3 bound=$4 words=$5 met
    met=$(awk -v v="$value" -v b="$bound" 'BEGIN { print (v <= b) ? "yes" : "no" }')
    table_row "$label" "$(mib "$value")" "bare program $(mib "$bare")" \
        "$(awk -v d=$((value - bare)) 'BEGIN { printf "%+.1f MiB", d / 1024 }')" "≤ $words = $(mib "$bound")" "$met"
}
say() { printf '%s\n' "$*" >&2; }
# Whether two folders hold the same files, leaving out the launcher's own
# (its lock and the like, named .fenwix-*) in the target folder.
same_files() { diff -rq -x '.fenwix-*' "$1" "$2" >/dev/null; }

# ---------------------------------------------------------------- tools

say "== Building the bench's tools"
cc -O2 -o "$work/crc_files" "$root/bench/crc_files.c" -lz
x86_64-w64-mingw32-gcc -O2 -o "$work/memory_probe.exe" "$root/bench/memory_probe.c"
if [ -n "$want_many" ]; then
    cc -O2 -o "$work/make_tree" "$root/bench/make_tree.c"
    # Static, so that each floor starts as the main program does, with
    # nothing to load but Wine's own DLLs.
    for floor in win_enumerate win_create_write win_read_crc; do
        libs=()
        [ "$floor" = win_read_crc ] && libs=(-lz)
        x86_64-w64-mingw32-gcc-posix -O2 -static -municode -o "$work/$floor.exe" \
            "$root/bench/$floor.c" "${libs[@]}"
    done
fi

# One long-lived wineserver, and one program run first, as ./fenwix does.
wineserver -p 600 >/dev/null 2>&1 || true
start_windows "$probe" >/dev/null 2>&1 </dev/null || true

# ---------------------------------------------------------------- corpora

# Wine's DLL folder, listed by name with sizes.
if [ -n "$want_large" ]; then
    find "$wine_dlls" -maxdepth 1 -type f -printf '%f\t%s\n' | sort >"$work/wine-list"
    [ -s "$work/wine-list" ] || die "$wine_dlls holds no file"
    if grep -q "^$main_name	" "$work/wine-list"; then die "$wine_dlls already holds $main_name"; fi
fi

# Makes $big/wine-SLICE: the first files by name until SLICE MB (10^6 bytes)
# are reached, or all of them, as hard links (copies on another file system),
# plus the main program.
make_wine_slice() {
    local slice=$1 dir="$big/wine-$1" limit
    [ -d "$dir" ] && return 0
    if [ "$slice" = all ]; then limit=0; else limit=$((slice * 1000000)); fi
    mkdir -p "$dir"
    awk -F '\t' -v limit="$limit" '{ print $1; s += $2; if (limit > 0 && s >= limit) exit }' \
        "$work/wine-list" >"$work/wine-$slice.names"
    (cd "$wine_dlls" && xargs -d '\n' cp -l -t "$dir" <"$work/wine-$slice.names" 2>/dev/null) ||
        (cd "$wine_dlls" && xargs -d '\n' cp -t "$dir" <"$work/wine-$slice.names")
    cp "$probe" "$dir/$main_name"
}

make_synthetic() {
    local dir="$big/synthetic" per_file i f
    mkdir -p "$dir/data"
    cp "$probe" "$dir/$main_name"
    per_file=$((synth_mb * 1024 * 1024 / synth_files))
    for i in $(seq 1 "$synth_files"); do
        f="$dir/data/file$i.bin"
        if [ $((i % 2)) = 0 ]; then
            head -c "$per_file" /dev/urandom >"$f"
        else
            yes "line $i of some fairly repetitive application data" | head -c "$per_file" >"$f" || true
        fi
    done
}

# ---------------------------------------------------------------- machine

commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
commit_note=$commit
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no -- . ':!bench' 2>/dev/null)" ]; then
    commit_note="$commit, with uncommitted changes outside bench/"
    commit="$commit with changes"
fi
{
    echo "# Fenwix Onefile benchmark"
    echo
    echo "Written by \`./fenwix bench\` (bench/run.sh); every number below comes from a run of it. This table"
    echo "and the sections down to the many-small-files one come from the run it dates; that section"
    echo "names its own run (\`CORPORA=many bench/run.sh\` runs it alone)."
    echo
    echo "| | |"
    echo "|---|---|"
    echo "| Date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
    echo "| Commit | $commit_note |"
    echo "| CPU | $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) cores |"
    echo "| RAM | $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) |"
    echo "| System | Debian $(cat /etc/debian_version), Linux $(uname -r), $(df --output=fstype "$work" | tail -n 1) file system for build/bench |"
    echo "| Wine | $(wine --version 2>/dev/null) |"
    echo "| zstd | $(zstd --version | sed -n 's/.* \(v[0-9][0-9.]*\).*/\1/p') (command-line tool) |"
    echo "| RUNS | $runs (each start and floor is a median of RUNS runs; packing a median of $pack_runs) |"
    echo
} >"$work/results.md"

# ---------------------------------------------------------------- memory method

say "== Checking the memory measure with a program that allocates 64 MiB"
probe0=$(peak_kib "$work/memory_probe.exe" PROBE_MIB=0)
probe64=$(peak_kib "$work/memory_probe.exe" PROBE_MIB=64)
say "   0 MiB: $(mib "$probe0"), 64 MiB: $(mib "$probe64"), difference $(mib $((probe64 - probe0)))"
awk -v d=$((probe64 - probe0)) 'BEGIN { exit !(d >= 60 * 1024 && d <= 72 * 1024) }' ||
    die "the peak RSS of wine PROGRAM did not grow by about 64 MiB when the program allocated 64 MiB"

# ---------------------------------------------------------------- starts

# Packs a folder on its own at the starts' level and cuts the Zstandard frame
# out of the block into FRAME: cut_frame FOLDER FRAME. Prints the block's size
# and the frame's window, in bytes.
cut_frame() {
    local block="$big/block" block_size window
    "$tool" pack "$1" -o "$block" --main "$main_name" --level "$start_level" --quiet
    block_size=$(stat -c %s "$block")
    # The block: "QJX", one Zstandard frame, 4 zero bytes, an 8-byte trailer.
    tail -c +4 "$block" | head -c $((block_size - 3 - 4 - 8)) >"$2"
    zstd -q -t "$2" || die "the frame cut out of the block does not decode"
    window=$(zstd -lv "$2" 2>/dev/null | sed -n 's/^Window Size:.*(\([0-9]*\) B).*/\1/p')
    rm -f "$block"
    echo "$block_size ${window:-$window_default}"
}

# A launcher of the main program alone, $big/alone.exe: its start above the
# bare one is the fixed cost of any launcher start, whatever the
# application's size.
build_alone() {
    rm -rf "$big/alone" "$big/alone-target"
    mkdir -p "$big/alone"
    cp "$1/$main_name" "$big/alone/"
    "$tool" build "$big/alone" -o "$big/alone.exe" --level "$start_level" \
        --template "$(winpath "$big/alone-target")" --quiet
}

# One round of the starts every corpus times: the bare main program, a cold
# start (the target cleared by the command given, "rm -rf" or "set_aside"),
# a warm start, a launcher of the main program alone, and a start with one
# file changed. Uses the caller's m, app, target, launcher, round, changed,
# changed_size and changed_rel.
time_launcher_starts() {
    timed "$m.bare.us" start_windows "$app/$main_name"
    check_started "the bare main program"

    "$@" "$target"
    timed "$m.cold.us" start_windows "$launcher"
    check_started "the launcher (cold start)"
    if [ "$round" = 1 ]; then
        same_files "$app" "$target" || die "the cold start did not unpack the folder exactly"
    fi

    timed "$m.warm.us" start_windows "$launcher"
    check_started "the launcher (warm start)"

    timed "$m.alone.us" start_windows "$big/alone.exe"
    check_started "the launcher of the main program alone"

    head -c 16 /dev/urandom | dd of="$changed" bs=16 seek=$((changed_size / 32)) conv=notrunc status=none
    cmp -s "$changed" "$app/$changed_rel" && die "overwriting bytes of $changed changed nothing"
    timed "$m.changed.us" start_windows "$launcher"
    check_started "the launcher (one file changed)"
    cmp -s "$changed" "$app/$changed_rel" || die "the launcher did not repair $changed_rel"
}


# Measures one corpus: measure_corpus NAME TITLE FOLDER SIZE_MB DATA_FILE,
# NAME naming the bench's files, TITLE the table, and DATA_FILE (below
# build/bench) receiving the chart's line for the corpus, at SIZE_MB.
measure_corpus() {
    local name=$1 title=$2 app=$3 target="$big/target" out="$big/tar-out"
    local launcher="$big/launcher.exe" frame="$big/frame.zst"
    local t files bytes block_size window changed changed_rel changed_size
    say "== $title"
    files=$(folder_files "$app")
    bytes=$(folder_bytes "$app")

    # The launcher is built from the folder, as users build one; the same
    # block, packed on its own, gives the frame the native floors decode.
    t=${EPOCHREALTIME/./}
    "$tool" build "$app" -o "$launcher" --main "$main_name" --level "$start_level" \
        --template "$(winpath "$target")" --quiet
    say "   $files files, $(mb "$bytes"), launcher built at --level $start_level in $(secs $((${EPOCHREALTIME/./} - t)))"
    read -r block_size window < <(cut_frame "$app" "$frame") || true
    [ -n "$window" ] || die "cannot cut the frame out of the block of $app"
    tar -cf "$big/app.tar" -C "$app" .
    build_alone "$app"

    local m="$work/$name" round
    read -r changed_size changed_rel < <(find "$app" -type f ! -name "$main_name" -printf '%s %P\n' |
        sort -n | tail -n 1)
    changed="$target/$changed_rel"
    start_windows "$app/$main_name" >/dev/null 2>&1 </dev/null || true  # warm Wine up
    # Rounds of every measure in turn, so that a slow spell of a shared
    # machine weighs on all of them alike.
    for round in $(seq "$runs"); do
        time_launcher_starts rm -rf

        timed "$m.crc.us" "$work/crc_files" "$target"
        timed "$m.decode.us" zstd -q -d -c "$frame"
        rm -rf "$out"
        mkdir "$out"
        timed "$m.write.us" tar -xf "$big/app.tar" -C "$out"
        rm -rf "$out"

        peak_kib "$app/$main_name" >>"$m.bare.kib"
        peak_kib "$launcher" >>"$m.warm.kib"
        rm -rf "$target"
        peak_kib "$launcher" >>"$m.cold.kib"
    done
    same_files "$app" "$target" || die "the cold start did not unpack the folder exactly"

    local bare_kib warm_kib cold_kib
    bare_kib=$(median "$m.bare.kib")
    warm_kib=$(median "$m.warm.kib")
    cold_kib=$(median "$m.cold.kib")
    rm -rf "$target" "$launcher" "$frame" "$big/app.tar" "$big/alone" "$big/alone-target" "$big/alone.exe"

    local bare cold warm chg crc decode write alone
    bare=$(median "$m.bare.us")
    alone=$(($(median "$m.alone.us") - bare))
    cold=$(($(median "$m.cold.us") - bare))
    warm=$(($(median "$m.warm.us") - bare))
    chg=$(($(median "$m.changed.us") - bare))
    crc=$(median "$m.crc.us")
    decode=$(median "$m.decode.us")
    write=$(median "$m.write.us")
    local warm_bound=$((bare_kib + 16 * 1024))
    local cold_bound=$((bare_kib + window / 1024 + block_size / 1024 + 16 * 1024))
    {
        echo "## $title"
        echo
        echo "$files files, $(mb "$bytes"); launcher built at \`--level $start_level\`, its block $(bytes "$block_size"), frame window $(mib $((window / 1024)))."
        echo
        table_row Figure Value Floor Ratio Target Met
        table_row --- --- --- --- --- ---
        time_row "cold start" "$cold" $((decode + write)) 1.15
        time_row "warm start" "$warm" "$crc" 1.25
        time_row "one file changed ($(mb "$changed_size"))" "$chg" $((decode + crc)) 1.15
        memory_row "peak memory, warm start" "$warm_kib" "$bare_kib" "$warm_bound" "bare + 16 MiB"
        memory_row "peak memory, cold start" "$cold_kib" "$bare_kib" "$cold_bound" "bare + window + block + 16 MiB"
        echo
        echo "Bare main program start $(secs "$bare") (subtracted from every start above). A launcher of the main"
        echo "program alone starts $(secs "$alone") above it: the fixed cost of a launcher start, held by every start above."
        echo "Native parts of the floors:"
        echo "decode $(secs "$decode"), write $(secs "$write"), CRC-32 of every file $(secs "$crc")."
        echo
    } >>"$work/results.md"
    say "   bare $(secs "$bare"), launcher of the main program alone +$(secs "$alone"); cold $(secs "$cold") (floor $(secs $((decode + write)))), warm $(secs "$warm")" \
        "(floor $(secs "$crc")), changed $(secs "$chg") (floor $(secs $((decode + crc))))"
    say "   peak RSS: bare $(mib "$bare_kib"), warm $(mib "$warm_kib"), cold $(mib "$cold_kib")"
    echo "$4 $cold $warm $chg $((decode + write)) $crc $((decode + crc))" |
        awk '{ printf "%s", $1; for (i = 2; i <= NF; ++i) printf " %.3f", $i / 1e6; print "" }' >>"$work/$5"
}

# ---------------------------------------------------------------- large files

if [ -n "$want_large" ]; then
    say "== Stub, embedding, packing"
    stub_size=$(stat -c %s "$stub")

    head -c $((embed_mb * 1024 * 1024)) /dev/urandom >"$big/ready.block"
    for _ in $(seq "$runs"); do
        timed "$work/cp.us" cp "$big/ready.block" "$big/copy.block"
        rm -f "$big/copy.block"
        timed "$work/embed.us" "$tool" build --block "$big/ready.block" -o "$big/embedded.exe" --quiet
        rm -f "$big/embedded.exe"
    done
    rm -f "$big/ready.block"
    cp_us=$(median "$work/cp.us")
    embed_us=$(median "$work/embed.us")

    default_level=$(sed -n 's/.*default_compression_level = \([0-9]*\);.*/\1/p' "$root/tools/pack/packer.h")
    [ -n "$default_level" ] || die "cannot read the default level from tools/pack/packer.h"
    ultra=()
    [ "$default_level" -gt 19 ] && ultra=(--ultra)
    make_wine_slice "$pack_mb"
    pack_dir="$big/wine-$pack_mb"
    tar -cf "$big/pack.tar" -C "$pack_dir" .
    for _ in $(seq "$pack_runs"); do
        rm -f "$big/pack.block" "$big/pack.zst"
        timed "$work/pack.us" "$tool" pack "$pack_dir" -o "$big/pack.block" --main "$main_name" --quiet
        timed "$work/zstd-pack.us" zstd -q -T0 --long=27 "-$default_level" "${ultra[@]}" "$big/pack.tar" -o "$big/pack.zst"
    done
    pack_us=$(median "$work/pack.us")
    zstd_pack_us=$(median "$work/zstd-pack.us")
    pack_block=$(stat -c %s "$big/pack.block")
    pack_zst=$(stat -c %s "$big/pack.zst")
    pack_files=$(folder_files "$pack_dir")
    pack_bytes=$(folder_bytes "$pack_dir")
    rm -f "$big/pack.tar" "$big/pack.block" "$big/pack.zst"

    {
        echo "## Stub, embedding and packing"
        echo
        table_row Figure Value Floor Ratio Target Met
        table_row --- --- --- --- --- ---
        table_row "stub size (build/win64/stub/fenwix-stub.exe)" "$(bytes "$stub_size")" "—" "—" "≤ $(bytes "$stub_limit")" \
            "$([ "$stub_size" -le "$stub_limit" ] && echo yes || echo no)"
        time_row "embedding a ready $embed_mb MiB block (\`fenwix build --block\`)" "$embed_us" "$cp_us" 2
        time_row "pack at the default level $default_level (\`fenwix pack\`)" "$pack_us" "$zstd_pack_us" 1.1
        size_ratio=$(awk -v a="$pack_block" -v b="$pack_zst" 'BEGIN { printf "%.4f", a / b }')
        table_row "block size of that pack" "$(bytes "$pack_block")" "$(bytes "$pack_zst")" "$size_ratio" "within 2% of the .zst" \
            "$(awk -v r="$size_ratio" 'BEGIN { print (r >= 0.98 && r <= 1.02) ? "yes" : "no" }')"
        echo
        echo "Embedding: floor is \`cp\` of the same file on the same disk; both start with nothing left to"
        echo "write back (\`sync\` before each run), and \`fenwix build\` flushes its output to the disk before it returns."
        echo "Packing: on the Wine DLL slice of the first $pack_mb MB ($pack_files files, $(mb "$pack_bytes")); floor is"
        echo "\`zstd -T0 --long=27 -$default_level\` over an uncompressed tar of the same folder (the tar made outside the"
        echo "timing), its output to a file; \`fenwix pack\` flushes its block to the disk, zstd does not."
        echo
    } >>"$work/results.md"
    say "   stub $stub_size B; embed $(secs "$embed_us") vs cp $(secs "$cp_us");" \
        "pack $(secs "$pack_us") vs zstd $(secs "$zstd_pack_us"), $pack_block B vs $pack_zst B"

    : >"$work/wine.dat"
    : >"$work/synthetic.dat"
    for slice in $slices; do
        make_wine_slice "$slice"
        dir="$big/wine-$slice"
        size=$(folder_bytes "$dir")
        if [ "$slice" = all ]; then
            title="Wine DLL folder, all of it"
        else
            title="Wine DLL folder, first $slice MB by name"
        fi
        measure_corpus "wine-$slice" "$title" "$dir" "$(awk -v b="$size" 'BEGIN { printf "%.1f", b / 1e6 }')" wine.dat
        [ "$slice" = "$pack_mb" ] || rm -rf "$dir"
    done
    rm -rf "$big"/wine-*
    make_synthetic
    synth_size=$(folder_bytes "$big/synthetic")
    measure_corpus synthetic "Synthetic folder: $synth_files files, $synth_mb MiB, half text, half random" \
        "$big/synthetic" "$(awk -v b="$synth_size" 'BEGIN { printf "%.1f", b / 1e6 }')" synthetic.dat
    rm -rf "$big/synthetic"

    total_s=$(((${EPOCHREALTIME/./} - bench_start) / 1000000))
    {
        echo "## What each figure above is"
        echo
        echo "- **Starts** run under Wine through \`exit_code_harness\` (scripts/wine-run), wall-clock from before"
        echo "  \`wine\` starts until it ends, each the median of $runs runs minus the median of $runs starts of the"
        echo "  bare main program (the same \`$main_name\`, a copy of the test harness's probe_child.exe, run the same"
        echo "  way). Launchers are built from the folder with \`fenwix build --level $start_level\`. The runs of a corpus"
        echo "  go in $runs rounds, each round taking every measure once, so that a slow spell weighs on all alike."
        echo "  Every timed run, native or not, starts after \`sync\`; the files it reads are in the page cache;"
        echo "  nothing is flushed to the disk inside the timing. A launcher's start also holds the start of one"
        echo "  more Windows process than the bare start (the launcher itself), which no native floor has."
        echo "- **Cold start**: the target folder is removed before each run. Floor: decoding the block's Zstandard"
        echo "  frame (cut out of the block) with \`zstd -d -c FRAME >/dev/null\`, plus writing the files natively:"
        echo "  \`tar -xf\` of an uncompressed tar of the application folder into an empty folder."
        echo "- **Warm start**: every file is already there with the right content. Floor: bench/crc_files.c, which"
        echo "  reads every file of the unpacked folder and runs zlib's \`crc32_z\` over it on one thread."
        echo "- **One file changed**: before each run, 16 bytes in the middle of the folder's largest file are"
        echo "  overwritten (same size); the launcher must put it right. Floor: the decode above plus the CRC-32 of every file."
        echo "- **Peak memory**: the peak resident set size (GNU time's \`%M\`) of \`wine PROGRAM.exe\` run directly,"
        echo "  the median of $runs runs each (bare program, warm start, cold start), in the same rounds. That Unix"
        echo "  process is the Windows process itself; the program a launcher starts is another process, not"
        echo "  counted. Checked at every run: a program allocating and touching 64 MiB shows $(mib "$probe64")"
        echo "  against $(mib "$probe0") for one allocating nothing (+$(mib $((probe64 - probe0))))."
        echo "  Resident pages of mapped files (the launcher's own image, which holds the block) count."
        echo "  The window is the frame's, as \`zstd -lv\` shows it; the block bound is the whole block."
        echo
        echo "The part above took $total_s s."
    } >>"$work/results.md"

    subtitle="$(date -u +%Y-%m-%d), commit $commit, median of $runs runs, launchers at --level $start_level"
    gnuplot -e "wine='$work/wine.dat'; synthetic='$work/synthetic.dat'; out='$work/startup.png'; subtitle='$subtitle'" \
        "$root/bench/startup.gp"
fi

# ---------------------------------------------------------------- many small files

# Drops the page cache (root only); false when it cannot.
drop_caches() { sync && { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; }
must_drop_caches() { drop_caches || die "dropping caches failed, though it worked at the start"; }

# Runs a floor program the way a start is run, keeping the time of its work
# that it measured inside: floor_run KEY PROGRAM ARG..., KEY naming the
# bench's files (KEY.us outside, KEY.inner inside in ms, KEY.line its line).
floor_run() {
    local key=$1
    shift
    timed_out="$key.line" timed "$key.us" start_windows "$@"
    check_started "$(basename "$1")"
    tr -d '\r' <"$key.line" | sed -n 's/.*, \([0-9.]*\) ms$/\1/p' >>"$key.inner"
}
# The median of a floor's inside times, in ms.
inner_ms() { median "$1.inner"; }
# A floor in µs: its median outside minus the bare start BARE_US, but never
# less than the time its program measured for its work inside: a floor of a
# few milliseconds is smaller than the spread of starts under Wine, and
# the work took that long at least. floor_us KEY BARE_US.
floor_us() {
    local outside=$(($(median "$1.us") - $2)) inside
    inside=$(awk -v ms="$(inner_ms "$1")" 'BEGIN { printf "%.0f", ms * 1000 }')
    max "$outside" "$inside"
}
# A floor's median outside minus the bare start, as text: outside KEY BARE_US.
outside() { secs $(($(median "$1.us") - $2)); }
# "µs per item" of a time in ms over a count.
per_item() { awk -v ms="$1" -v n="$2" 'BEGIN { printf "%.0f µs", (n > 0) ? ms * 1000 / n : 0 }'; }
max() { if [ "$1" -gt "$2" ]; then echo "$1"; else echo "$2"; fi; }

# Folders of many files are moved aside, not removed, until the bench ends
# (the trap removes $big). On ext4 without a journal, as build/bench is here,
# making a file means skipping every free inode of its group deleted in the
# last minute (five, while not yet written back): removing a tree of ten
# thousand files makes every file made in the next minute several times
# slower, natively and under Wine alike, by how much depending on what was
# removed when. No measure of many files may pay for an earlier one's.
set_aside_count=0
set_aside() {
    local f
    for f in "$@"; do
        [ -e "$f" ] || continue
        set_aside_count=$((set_aside_count + 1))
        mkdir -p "$big/set-aside"
        mv "$f" "$big/set-aside/$set_aside_count"
    done
}

make_npm() {
    local dir="$big/npm"
    mkdir -p "$dir"
    cp "$root/bench/npm-corpus/package.json" "$root/bench/npm-corpus/package-lock.json" "$dir/"
    # As it would ship: no install scripts, and no links (.bin), which a
    # Windows folder would not hold.
    (cd "$dir" && npm ci --ignore-scripts --no-bin-links --no-update-notifier --no-audit --no-fund \
        --loglevel=warn >/dev/null) || die "npm ci of bench/npm-corpus failed"
    cp "$probe" "$dir/$main_name"
}

make_tree() {
    "$work/make_tree" "$big/tree" "$tree_files" "$tree_folders" "$tree_seed" ||
        die "writing the synthetic tree failed"
    cp "$probe" "$big/tree/$main_name"
}

# Measures one corpus of many small files: measure_many NAME TITLE FOLDER.
# Writes its part of the results to $work/many.md and the chart's lines to
# $work/many-NAME.dat.
measure_many() {
    local name=$1 title=$2 app=$3 m="$work/$1"
    local target="$big/target" quick_target="$big/quick-target" out="$big/write-out"
    local launcher="$big/launcher.exe" quick="$big/quick.exe" frame="$big/frame.zst"
    local list="$big/list" blob="$big/blob" files folders bytes block_size window t
    local changed changed_rel changed_size expected round got
    say "== $title"
    files=$(folder_files "$app")
    folders=$(find "$app" -mindepth 1 -type d | wc -l)
    bytes=$(folder_bytes "$app")
    t=${EPOCHREALTIME/./}
    "$tool" build "$app" -o "$launcher" --main "$main_name" --level "$start_level" \
        --template "$(winpath "$target")" --quiet
    say "   $files files in $folders folders, $(mb "$bytes"), launcher built in $(secs $((${EPOCHREALTIME/./} - t)))"
    if [ -n "$quick_check" ]; then
        "$tool" build "$app" -o "$quick" --main "$main_name" --level "$start_level" --quick-check \
            --template "$(winpath "$quick_target")" --quiet
    fi
    read -r block_size window < <(cut_frame "$app" "$frame") || true
    [ -n "$window" ] || die "cannot cut the frame out of the block of $app"
    build_alone "$app"
    # What the Windows floors work from: the list of files (a launcher's
    # index) and their bytes one after the other (what a launcher decodes).
    (cd "$app" && find . -type f -printf '%s %P\n') | sort -k 2 >"$list"
    cut -d ' ' -f 2- "$list" | (cd "$app" && xargs -d '\n' cat --) >"$blob"
    [ "$(stat -c %s "$blob")" = "$bytes" ] || die "the blob of $app is not the folder's size"
    tar -cf "$big/app.tar" -C "$app" .
    expected=$("$work/crc_files" "$app" | sed -n 's/.*crc xor //p')
    read -r changed_size changed_rel < <(find "$app" -type f ! -name "$main_name" -printf '%s %P\n' |
        sort -n | tail -n 1)
    changed="$target/$changed_rel"

    start_windows "$app/$main_name" >/dev/null 2>&1 </dev/null || true  # warm Wine up
    if [ -n "$quick_check" ]; then
        # Unpacked, then started once more, so that its record is there.
        set_aside "$quick_target"
        start_windows "$quick" >/dev/null 2>&1 </dev/null
        check_started "the --quick-check launcher (first start)"
        start_windows "$quick" >/dev/null 2>&1 </dev/null
        check_started "the --quick-check launcher (second start)"
    fi
    for round in $(seq "$runs"); do
        time_launcher_starts set_aside
        if [ -n "$quick_check" ]; then
            timed "$m.quick.us" start_windows "$quick"
            check_started "the --quick-check launcher (warm start)"
        fi

        floor_run "$m.enum" "$work/win_enumerate.exe" "$(winpath "$target")"
        floor_run "$m.crc" "$work/win_read_crc.exe" "$(winpath "$target")" "$(winpath "$list")"
        floor_run "$m.write" "$work/win_create_write.exe" "$(winpath "$out")" "$(winpath "$list")" \
            "$(winpath "$blob")"
        if [ "$round" = 1 ]; then
            # Each floor did all of its work: every folder and file seen,
            # every file read, every file written.
            got=$(tr -d '\r' <"$m.enum.line")
            [ "${got%%,*}" = "$(folder_files "$target") files" ] &&
                [[ $got == *", $(find "$target" -mindepth 1 -type d | wc -l) folders,"* ]] ||
                die "win_enumerate saw other counts: $got"
            got=$(tr -d '\r' <"$m.crc.line")
            [[ $got == "$files files, $bytes bytes, crc xor $expected,"* ]] ||
                die "win_read_crc did not read what crc_files did: $got (crc xor $expected)"
            same_files "$app" "$out" || die "win_create_write did not write the folder exactly"
        fi
        set_aside "$out"
        timed "$m.decode.us" zstd -q -d -c "$frame"
        timed "$m.native-crc.us" "$work/crc_files" "$target"
        mkdir "$out"
        timed "$m.native-write.us" tar -xf "$big/app.tar" -C "$out"
        set_aside "$out"

        if [ -n "$can_drop" ]; then
            must_drop_caches
            timed "$m.bare-drop.us" start_windows "$app/$main_name"
            check_started "the bare main program"
            must_drop_caches
            timed "$m.warm-drop.us" start_windows "$launcher"
            check_started "the launcher (warm start after dropping caches)"
            must_drop_caches
            floor_run "$m.crc-drop" "$work/win_read_crc.exe" "$(winpath "$target")" "$(winpath "$list")"
            must_drop_caches
            floor_run "$m.enum-drop" "$work/win_enumerate.exe" "$(winpath "$target")"
            if [ -n "$quick_check" ]; then
                must_drop_caches
                timed "$m.quick-drop.us" start_windows "$quick"
                check_started "the --quick-check launcher (warm start after dropping caches)"
            fi
        fi

        peak_kib "$app/$main_name" >>"$m.bare.kib"
        peak_kib "$launcher" >>"$m.warm.kib"
    done

    # One traced cold and warm start, for reading where the time goes.
    set_aside "$target"
    FENWIX_ONEFILE_TRACE=$(winpath "$m.cold.trace") start_windows "$launcher" >/dev/null 2>&1 </dev/null
    FENWIX_ONEFILE_TRACE=$(winpath "$m.warm.trace") start_windows "$launcher" >/dev/null 2>&1 </dev/null
    set_aside "$target" "$quick_target" "$big/alone" "$big/alone-target"
    rm -f "$launcher" "$quick" "$frame" "$list" "$blob" "$big/app.tar" "$big/alone.exe"

    local bare alone cold warm chg quick_warm enum crc write decode native_crc native_write
    bare=$(median "$m.bare.us")
    alone=$(($(median "$m.alone.us") - bare))
    cold=$(($(median "$m.cold.us") - bare))
    warm=$(($(median "$m.warm.us") - bare))
    chg=$(($(median "$m.changed.us") - bare))
    enum=$(floor_us "$m.enum" "$bare")
    crc=$(floor_us "$m.crc" "$bare")
    write=$(floor_us "$m.write" "$bare")
    decode=$(median "$m.decode.us")
    native_crc=$(median "$m.native-crc.us")
    native_write=$(median "$m.native-write.us")
    local bare_d warm_d crc_d enum_d quick_d
    if [ -n "$can_drop" ]; then
        bare_d=$(median "$m.bare-drop.us")
        warm_d=$(($(median "$m.warm-drop.us") - bare_d))
        crc_d=$(floor_us "$m.crc-drop" "$bare_d")
        enum_d=$(floor_us "$m.enum-drop" "$bare_d")
    fi
    local bare_kib warm_kib
    bare_kib=$(median "$m.bare.kib")
    warm_kib=$(median "$m.warm.kib")
    local no_drop="not measured: $drop_failure" no_quick="skipped: this fenwix program has no --quick-check"
    local dat="$work/many-$name.dat"
    {
        echo "### $title"
        echo
        echo "$files files in $folders folders, $(mb "$bytes"); block $(bytes "$block_size") at \`--level $start_level\`."
        echo
        table_row Figure Value Floor Ratio Target Met
        table_row --- --- --- --- --- ---
        time_row "cold start (floor: max of decode, create-write)" "$cold" "$(max "$decode" "$write")" 1.15
        time_row "warm start (floor: read-crc)" "$warm" "$crc" 1.25
        time_row "one file changed, $(mb "$changed_size") (floor: decode + read-crc)" "$chg" $((decode + crc)) 1.15
        if [ -n "$can_drop" ]; then
            time_row "warm start after dropping caches (floor: read-crc after dropping caches)" "$warm_d" "$crc_d" 1.25
        else
            table_row "warm start after dropping caches" "$no_drop" — — "≤ 1.25 × floor" —
        fi
        if [ -z "$quick_check" ]; then
            table_row "\`--quick-check\` warm start" "$no_quick" — — "≤ 1.25 × floor" —
            table_row "\`--quick-check\` warm start after dropping caches" "$no_quick" — — "≤ 1.25 × floor" —
        else
            quick_warm=$(($(median "$m.quick.us") - bare))
            time_row "\`--quick-check\` warm start (floor: enumerate)" "$quick_warm" "$enum" 1.25
            if [ -n "$can_drop" ]; then
                quick_d=$(($(median "$m.quick-drop.us") - bare_d))
                time_row "\`--quick-check\` warm start after dropping caches (floor: enumerate after dropping caches)" \
                    "$quick_d" "$enum_d" 1.25
            else
                table_row "\`--quick-check\` warm start after dropping caches" "$no_drop" — — "≤ 1.25 × floor" —
            fi
        fi
        memory_row "peak memory, warm start" "$warm_kib" "$bare_kib" $((bare_kib + 16 * 1024)) "bare + 16 MiB"
        echo
        echo "Bare main program start $(secs "$bare")$([ -z "$can_drop" ] || echo ", $(secs "$bare_d") after dropping caches")"
        echo "(subtracted from every start and Windows floor above, hot and after dropping caches alike). A launcher"
        echo "of the main program alone starts $(secs "$alone") above it. Windows-side floors, timed outside (minus"
        echo "the bare start) and inside the program (QueryPerformanceCounter around its work), with the"
        echo "wall-clock cost per item inside; the floor above is the larger of the two:"
        echo
        echo "- enumerate: $(outside "$m.enum" "$bare") outside, $(inner_ms "$m.enum") ms inside, $(per_item "$(inner_ms "$m.enum")" $((folders + 1))) per folder"
        echo "- read-crc ($(nproc) threads): $(outside "$m.crc" "$bare") outside, $(inner_ms "$m.crc") ms inside, $(per_item "$(inner_ms "$m.crc")" "$files") per file"
        echo "- create-write: $(outside "$m.write" "$bare") outside, $(inner_ms "$m.write") ms inside, $(per_item "$(inner_ms "$m.write")" "$files") per file"
        if [ -n "$can_drop" ]; then
            echo "- after dropping caches: read-crc $(outside "$m.crc-drop" "$bare_d") outside, $(inner_ms "$m.crc-drop") ms inside;" \
                "enumerate $(outside "$m.enum-drop" "$bare_d") outside, $(inner_ms "$m.enum-drop") ms inside"
        fi
        echo "- decode (native \`zstd -d\` of the block's frame): $(secs "$decode")"
        echo "- native, for comparison: CRC-32 of every file on one thread (crc_files) $(secs "$native_crc"), \`tar -xf\` into an empty folder $(secs "$native_write")"
        echo
    } >>"$work/many.md"
    say "   bare $(secs "$bare"), alone +$(secs "$alone"); cold $(secs "$cold") (decode $(secs "$decode"), create-write $(secs "$write")),"
    say "   warm $(secs "$warm") (read-crc $(secs "$crc")), changed $(secs "$chg"), enumerate $(secs "$enum")"
    [ -z "$can_drop" ] || say "   after dropping caches: warm $(secs "$warm_d") (read-crc $(secs "$crc_d"), enumerate $(secs "$enum_d"))"
    [ -z "$quick_check" ] || say "   --quick-check warm $(secs "$quick_warm")$([ -z "$can_drop" ] || echo ", after dropping caches $(secs "$quick_d")")"
    say "   peak RSS: bare $(mib "$bare_kib"), warm $(mib "$warm_kib")"
    # The chart's lines: label, start, floor (s).
    {
        printf '"%s" %s %s\n' cold "$cold" "$(max "$decode" "$write")"
        printf '"%s" %s %s\n' warm "$warm" "$crc"
        printf '"%s" %s %s\n' "one changed" "$chg" $((decode + crc))
        [ -z "$can_drop" ] || printf '"%s" %s %s\n' "warm, dropped" "$warm_d" "$crc_d"
        [ -z "$quick_check" ] || printf '"%s" %s %s\n' "quick" "$quick_warm" "$enum"
        [ -z "$quick_check" ] || [ -z "$can_drop" ] || printf '"%s" %s %s\n' "quick, dropped" "$quick_d" "$enum_d"
    } | awk '{ n = split($0, f, "\" "); split(f[2], v, " "); printf "%s\" %.3f %.3f\n", f[1], v[1] / 1e6, v[2] / 1e6 }' >"$dat"
}

if [ -n "$want_many" ]; then
    many_start=${EPOCHREALTIME/./}
    quick_check=
    tool_help=$("$tool" --help 2>&1 || true)
    [[ $tool_help != *--quick-check* ]] || quick_check=1
    can_drop= drop_failure=
    if drop_caches; then
        can_drop=1
    else
        drop_failure="writing /proc/sys/vm/drop_caches failed (not root?)"
        say "   cannot drop caches: the figures after dropping caches are left out"
    fi
    {
        echo
        echo "## Many small files"
        echo
        echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit_note, RUNS $runs, on the machine above."
        echo "Windows-side floors run under the same Wine as the launcher (see the notes below the tables)."
        echo
    } >"$work/many.md"
    make_npm
    measure_many npm "npm: node_modules of lodash 4.17.21, rxjs 7.8.1, typescript 5.4.5 (bench/npm-corpus)" "$big/npm"
    set_aside "$big/npm"
    make_tree
    measure_many tree "Synthetic tree: $tree_files files of 1–64 KiB in $tree_folders folders, seed $tree_seed" "$big/tree"
    set_aside "$big/tree"
    many_s=$(((${EPOCHREALTIME/./} - many_start) / 1000000))
    {
        echo "### What these figures are"
        echo
        echo "- Starts as in the large-file part: under Wine through \`exit_code_harness\`, the median of $runs runs in"
        echo "  rounds, minus the bare main program's start. The **Windows-side floors** are small static Windows"
        echo "  programs (bench/win_*.c) timed the same way, from outside through \`exit_code_harness\`, minus the same"
        echo "  bare start: a floor program's own process start is a bare program's, so what is left is its work,"
        echo "  as with a start. Each also measures its work inside (QueryPerformanceCounter); a floor is never"
        echo "  taken below that, since floors of a few milliseconds are smaller than the spread of starts under"
        echo "  Wine. A launcher start holds one more process start than a floor (see \"alone\" above)."
        echo "- **enumerate** lists every folder with \`FindFirstFileExW\` (\`FindExInfoBasic\`,"
        echo "  \`FIND_FIRST_EX_LARGE_FETCH\`) and opens no file. **read-crc** opens, reads (256 KiB reads), runs zlib's"
        echo "  \`crc32_z\` (libz-mingw-w64, as the launcher) over and closes every file of the list, one thread per"
        echo "  core claiming files from the shared list. **create-write** makes every folder and file (\`CREATE_NEW\`)"
        echo "  below an empty folder and writes its bytes in 32 KiB writes, on one thread, from the tree's bytes one"
        echo "  after the other in a mapped file. **decode** is native \`zstd -d -c FRAME >/dev/null\`."
        echo "- **Cold start** floor: the larger of decode and create-write (a start that decodes while it writes"
        echo "  needs no more). **Warm start** floor: read-crc. **One file changed**: decode + read-crc."
        echo "- **After dropping caches**: \`sync; echo 3 > /proc/sys/vm/drop_caches\` before the run (Wine's own files"
        echo "  leave the cache too), and the bare start it is compared with is measured after dropping caches too."
        echo "- **\`--quick-check\`**: a launcher built with \`fenwix build --quick-check\` (its own target folder, started"
        echo "  twice before timing so that its record is there); floor: enumerate, hot or after dropping caches."
        echo "- **Peak memory**: as in the large-file part, for the warm start."
        echo "- No folder is removed while these corpora are measured (each is moved aside, and all are removed"
        echo "  at the end): on ext4 without a journal, every file made in the minute after a tree is removed"
        echo "  costs several times more, which would weigh on whichever measure came next."
        echo "- Traces (FENWIX_ONEFILE_TRACE) of one cold and one warm start of each corpus are left in"
        echo "  build/bench/NAME.cold.trace and NAME.warm.trace."
        echo
        echo "This part took $many_s s."
    } >>"$work/many.md"
    gnuplot -e "npm='$work/many-npm.dat'; tree='$work/many-tree.dat'; out='$work/many-files.png'; subtitle='$(date -u +%Y-%m-%d), commit $commit, median of $runs runs, launchers at --level $start_level'" \
        "$root/bench/many-files.gp"
fi

# ---------------------------------------------------------------- results

# A part not run keeps its section of bench/results.md: the many-small-files
# section lies between these two lines, the large-file part around them.
many_begin='<!-- many small files: begin -->'
many_end='<!-- many small files: end -->'
old_results="$root/bench/results.md"
if [ -z "$want_large" ]; then
    # Without an earlier file, the machine's table written above heads it.
    [ ! -f "$old_results" ] || sed "/^$many_begin\$/,/^$many_end\$/d" "$old_results" >"$work/results.md"
fi
if [ -n "$want_many" ]; then
    { echo "$many_begin"; cat "$work/many.md"; echo "$many_end"; } >>"$work/results.md"
elif [ -f "$old_results" ]; then
    sed -n "/^$many_begin\$/,/^$many_end\$/p" "$old_results" >>"$work/results.md"
fi
cp "$work/results.md" "$root/bench/results.md"
[ -z "$want_large" ] || cp "$work/startup.png" "$root/bench/startup.png"
[ -z "$want_many" ] || cp "$work/many-files.png" "$root/bench/many-files.png"
say "== Wrote bench/results.md$([ -z "$want_large" ] || echo ", bench/startup.png")$([ -z "$want_many" ] || echo ", bench/many-files.png") ($(((${EPOCHREALTIME/./} - bench_start) / 1000000)) s)"
