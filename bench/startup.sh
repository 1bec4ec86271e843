#!/usr/bin/env bash
# Start-up and embedding benchmark, run through ./fenwix bench.
#
# Embedding: `fenwix build --block` of a ready 1 GiB block (EMBED_MB) against
# copying the same file with cp on the same disk, median of RUNS each, and
# their ratio (the target is at most 2).
#
# Then builds an application folder of FILES files totalling about SIZE_MB MiB
# (half of it compressible text, half random), packs it, and measures under
# Wine:
#   - first start: the target folder is empty, every file is written;
#   - second start: every file is there with the right checksum, nothing is
#     written (the common case);
#   - the bare cost of starting a Windows program under Wine, for reference.
# Each start is the median of RUNS runs. Times are wall-clock seconds.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
files=${FILES:-200}
size_mb=${SIZE_MB:-256}
runs=${RUNS:-5}
tool="$root/build/host/fenwix"
embed_mb=${EMBED_MB:-1024}
harness="$root/build/win64/tests/harness/exit_code_harness.exe"
probe="$root/build/win64/tests/harness/probe_child.exe"
work="$root/build/bench"
rm -rf "$work"
mkdir -p "$work/app/data"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f\n", b - a }'; }
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

echo "== Embedding a ready block of $embed_mb MiB (median of $runs)"
head -c $((embed_mb * 1024 * 1024)) /dev/urandom >"$work/ready.block"
timed() {
    local t
    sync  # every run starts with nothing left to write back
    t=$(now)
    "$@"
    elapsed "$t"
}
for _ in $(seq "$runs"); do
    timed cp "$work/ready.block" "$work/copy.block" >>"$work/cp"
    rm -f "$work/copy.block"
    timed "$tool" build --block "$work/ready.block" -o "$work/embedded.exe" --quiet >>"$work/embed"
    rm -f "$work/embedded.exe"
done
rm -f "$work/ready.block"
cp_s=$(median <"$work/cp")
embed_s=$(median <"$work/embed")
echo "   cp:                    $cp_s s"
echo "   fenwix build --block:  $embed_s s (written to disk before it returns)"
echo "   ratio:                 $(awk -v a="$embed_s" -v b="$cp_s" 'BEGIN { printf "%.2f", a / b }')"

echo "== Application folder: $files files, about $size_mb MiB"
cp "$probe" "$work/app/app.exe"
per_file=$((size_mb * 1024 * 1024 / files))
for i in $(seq 1 "$files"); do
    f="$work/app/data/file$i.bin"
    if [ $((i % 2)) = 0 ]; then
        head -c "$per_file" /dev/urandom >"$f"
    else
        yes "line $i of some fairly repetitive application data" | head -c "$per_file" >"$f" || true
    fi
done

t=$(now)
"$tool" pack "$work/app" -o "$work/block" --level 3
echo "   pack (level 3):        $(elapsed "$t") s, block of $(stat -c %s "$work/block") bytes"

t=$(now)
"$tool" build --block "$work/block" -o "$work/launcher.exe" --template "$(winpath "$work/target")"
echo "   embed with build:      $(elapsed "$t") s"

run() {
    local t
    t=$(now)
    "$root/scripts/wine-run" "$harness" "$(winpath "$work/code")" "$@" >/dev/null
    elapsed "$t"
}

run "$(winpath "$probe")" >/dev/null  # warm Wine up
for _ in $(seq "$runs"); do run "$(winpath "$probe")"; done | median >"$work/bare"
for _ in $(seq "$runs"); do
    rm -rf "$work/target"
    run "$(winpath "$work/launcher.exe")"
done | median >"$work/first"
for _ in $(seq "$runs"); do run "$(winpath "$work/launcher.exe")"; done | median >"$work/second"

echo "== Median of $runs starts under Wine"
echo "   a bare program:        $(cat "$work/bare") s"
echo "   first start (writes):  $(cat "$work/first") s"
echo "   second start (checks): $(cat "$work/second") s"
