#!/usr/bin/env bash
# The benchmark behind ./fenwix bench: launcher starts against native floors,
# packing against the zstd command-line tool, embedding against cp, and the
# stub's size. Writes bench/results.md and the chart bench/startup.png.
#
# Corpora: Wine's own 64-bit Windows DLL folder (WINE_DLLS), whole and in
# slices of its first files by name (SLICES, in MB, "all" for the whole
# folder), and a synthetic folder (FILES files, SIZE_MB MiB, half text, half
# random). Each gets the bench's main program: a copy of the test harness's
# probe_child.exe, which prints a few lines and exits at once.
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
# Packing: `fenwix pack` at the default level against `zstd -T0 --long=27` at
# that level over a tar of the same folder (the Wine slice of PACK_MB MB,
# median of PACK_RUNS). Embedding: `fenwix build --block` of a ready EMBED_MB
# MiB block against cp (median of RUNS).
#
# Settings from the environment, with their defaults: RUNS=5, PACK_RUNS=3,
# SLICES="50 200 all", PACK_MB=50, FILES=200, SIZE_MB=256, EMBED_MB=1024,
# WINE_DLLS. Runs under the Wine prefix WINEPREFIX (default build/wineprefix)
# and leaves its wineserver running: ./fenwix bench stops it when it ends.
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
for f in "$tool" "$stub" "$harness" "$probe"; do [ -f "$f" ] || die "$f is missing: build first"; done
for c in zstd tar gnuplot cc x86_64-w64-mingw32-gcc wine wineserver; do
    command -v "$c" >/dev/null || die "$c is missing (scripts/setup.sh installs it)"
done
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
# appends its wall-clock time in microseconds to FILE.
timed() {
    local file=$1 t0 t1
    shift
    sync
    t0=${EPOCHREALTIME/./}
    "$@" </dev/null >/dev/null
    t1=${EPOCHREALTIME/./}
    echo $((t1 - t0)) >>"$file"
}

# A Windows program started the way the tests start one: exit_code_harness
# under scripts/wine-run; the program's exit code must be 0.
start_windows() {
    rm -f "$work/code"
    "$wine_run" "$harness" "$(winpath "$work/code")" "$(winpath "$1")"
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

# ---------------------------------------------------------------- tools

say "== Building the bench's tools"
cc -O2 -o "$work/crc_files" "$root/bench/crc_files.c" -lz
x86_64-w64-mingw32-gcc -O2 -o "$work/memory_probe.exe" "$root/bench/memory_probe.c"

# One long-lived wineserver, and one program run first, as ./fenwix does.
wineserver -p 600 >/dev/null 2>&1 || true
start_windows "$probe" >/dev/null 2>&1 </dev/null || true

# ---------------------------------------------------------------- corpora

# Wine's DLL folder, listed by name with sizes.
find "$wine_dlls" -maxdepth 1 -type f -printf '%f\t%s\n' | sort >"$work/wine-list"
[ -s "$work/wine-list" ] || die "$wine_dlls holds no file"
if grep -q "^$main_name	" "$work/wine-list"; then die "$wine_dlls already holds $main_name"; fi

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
    echo "Written by \`./fenwix bench\` (bench/run.sh); every number below comes from that run."
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

# ---------------------------------------------------------------- stub, embedding, packing

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

# ---------------------------------------------------------------- starts

# Measures one corpus: measure_corpus NAME TITLE FOLDER SIZE_MB DATA_FILE,
# NAME naming the bench's files, TITLE the table, and DATA_FILE (below
# build/bench) receiving the chart's line for the corpus, at SIZE_MB.
measure_corpus() {
    local name=$1 title=$2 app=$3 target="$big/target" out="$big/tar-out"
    local launcher="$big/launcher.exe" block="$big/block" frame="$big/frame.zst"
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
    "$tool" pack "$app" -o "$block" --main "$main_name" --level "$start_level" --quiet
    block_size=$(stat -c %s "$block")
    # The block: "QJX", one Zstandard frame, 4 zero bytes, an 8-byte trailer.
    tail -c +4 "$block" | head -c $((block_size - 3 - 4 - 8)) >"$frame"
    zstd -q -t "$frame" || die "the frame cut out of the block does not decode"
    window=$(zstd -lv "$frame" 2>/dev/null | sed -n 's/^Window Size:.*(\([0-9]*\) B).*/\1/p')
    window=${window:-$window_default}
    rm -f "$block"
    tar -cf "$big/app.tar" -C "$app" .

    # A launcher of the main program alone: its start above the bare one is
    # the fixed cost of any launcher start, whatever the application's size.
    rm -rf "$big/alone" "$big/alone-target"
    mkdir -p "$big/alone"
    cp "$app/$main_name" "$big/alone/"
    "$tool" build "$big/alone" -o "$big/alone.exe" --level "$start_level" \
        --template "$(winpath "$big/alone-target")" --quiet

    local m="$work/$name" round
    read -r changed_size changed_rel < <(find "$app" -type f ! -name "$main_name" -printf '%s %P\n' |
        sort -n | tail -n 1)
    changed="$target/$changed_rel"
    start_windows "$app/$main_name" >/dev/null 2>&1 </dev/null || true  # warm Wine up
    # Rounds of every measure in turn, so that a slow spell of a shared
    # machine weighs on all of them alike.
    for round in $(seq "$runs"); do
        timed "$m.bare.us" start_windows "$app/$main_name"
        check_started "the bare main program"

        rm -rf "$target"
        timed "$m.cold.us" start_windows "$launcher"
        check_started "the launcher (cold start)"
        if [ "$round" = 1 ]; then
            diff -rq "$app" "$target" >/dev/null || die "the cold start did not unpack the folder exactly"
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
    diff -rq "$app" "$target" >/dev/null || die "the cold start did not unpack the folder exactly"

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

# ---------------------------------------------------------------- notes, chart

total_s=$(((${EPOCHREALTIME/./} - bench_start) / 1000000))
{
    echo "## What each figure is"
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
    echo "The whole bench took $total_s s."
} >>"$work/results.md"

subtitle="$(date -u +%Y-%m-%d), commit $commit, median of $runs runs, launchers at --level $start_level"
gnuplot -e "wine='$work/wine.dat'; synthetic='$work/synthetic.dat'; out='$work/startup.png'; subtitle='$subtitle'" \
    "$root/bench/startup.gp"
cp "$work/results.md" "$root/bench/results.md"
cp "$work/startup.png" "$root/bench/startup.png"
say "== Wrote bench/results.md and bench/startup.png ($total_s s)"
