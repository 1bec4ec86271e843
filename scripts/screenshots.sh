#!/usr/bin/env bash
# Takes the README's pictures of a windowed launcher under Xvfb, in a Wine
# desktop window so that Wine draws the title bars: the progress window of a
# long first start, and a failure dialog. Needs a built tree (./fenwix test
# or ./fenwix demo first). Writes docs/progress-window.png and
# docs/failure-dialog.png.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tool="$root/build/host/fenwix"
work=$(mktemp -d)
display=:57
desktop="Fenwix - Wine desktop"
export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb; rm -rf "$work"' EXIT
export DISPLAY=$display
sleep 1

winpath() { printf 'Z:%s' "${1//\//\\}"; }
# Waits for a window of that name inside the Wine desktop, then lets it draw.
wait_for() {
    for _ in $(seq 100); do
        xwininfo -root -tree | grep -q "\"$1\": (\"$2\"" && { sleep 0.6; return; }
        sleep 0.1
    done
    echo "screenshots: no window $1" >&2
    exit 1
}
shoot() { xwd -display "$display" -silent -name "$desktop" | xwdtopnm 2>/dev/null | pnmtopng >"$1"; }

# A first start that writes a few thousand files lasts long enough to see.
mkdir -p "$work/app/data"
cp "$root/build/win64/example-app/Orvelle.exe" "$work/app/"
for i in $(seq 1 2000); do head -c 65536 /dev/urandom >"$work/app/data/f$i.bin"; done
"$tool" build "$work/app" -o "$work/Orvelle.exe" --windowed --quiet --level 1 \
    --template "$(winpath "$work/target")"
wine explorer /desktop=Fenwix,560x200 "$(winpath "$work/Orvelle.exe")" >/dev/null 2>&1 &
wait_for Orvelle orvelle.exe
shoot "$root/docs/progress-window.png"
wineserver -k >/dev/null 2>&1 || true

printf 'XYZ' >"$work/bad.block"
"$tool" build --block "$work/bad.block" -o "$work/Broken.exe" --windowed --quiet --product Orvelle
wine explorer /desktop=Fenwix,560x200 "$(winpath "$work/Broken.exe")" >/dev/null 2>&1 &
wait_for Orvelle broken.exe
shoot "$root/docs/failure-dialog.png"
wineserver -k >/dev/null 2>&1 || true
echo "wrote docs/progress-window.png and docs/failure-dialog.png"
