#!/usr/bin/env bash
# The workshop behind ./fenwix: set-up, the demo, the tests, the benchmark,
# the packages and the fuzz targets. Each command installs what is missing
# and builds what is stale, as root (see ./fenwix's usage).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
tool="$build/host/fenwix"

die() {
    printf 'fenwix: %s\n' "$*" >&2
    exit 2
}

configure_and_build() {
    local preset=$1 log="$build/$1.log"
    if [ ! -f "$build/$preset/build.ninja" ]; then
        cmake --preset "$preset" >"$log" 2>&1 || { cat "$log" >&2; die "configuring $preset failed"; }
    fi
    cmake --build --preset "$preset" >"$log" 2>&1 || { tail -n 60 "$log" >&2; die "building $preset failed"; }
}

wine_env() {
    export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# The demo's set-up: the Debian packages, libzstd and the two builds the
# example needs (the launcher for Windows, the fenwix program for this
# machine), without the tests' Node.js, arm64 cross build and tools.
prepare_demo_build() {
    [ "$(id -u)" = 0 ] || die "run as root: set-up installs Debian packages"
    mkdir -p "$build"
    "$root/scripts/setup.sh" demo
    "$root/scripts/build-zstd-win64.sh" "$build/deps/zstd-win64" "$build/deps/zstd-win64-full"
    "$root/scripts/build-deps-linux.sh" x86_64-linux-gnu "$build/deps/linux-x64"
    configure_and_build win64
    configure_and_build host
}

prepare_build() {
    [ "$(id -u)" = 0 ] || die "run as root: set-up installs Debian packages"
    mkdir -p "$build"
    "$root/scripts/setup.sh"
    "$root/scripts/fetch-node.sh"
    "$root/scripts/build-zstd-win64.sh" "$build/deps/zstd-win64" "$build/deps/zstd-win64-full"
    "$root/scripts/build-deps-linux.sh" x86_64-linux-gnu "$build/deps/linux-x64"
    "$root/scripts/build-deps-linux.sh" aarch64-linux-gnu "$build/deps/linux-arm64"
    # The Linux programs carry the win64 build's stub: it comes first.
    configure_and_build win64
    configure_and_build host
    configure_and_build linux-arm64
}

stop_wine() { wineserver -k >/dev/null 2>&1 || true; }

# One X server for every Wine program of a run. Wine's desktop process takes
# the display of the first program that needs a desktop and keeps it while
# the wineserver lives; a desktop begun without a display (by the prefix's
# creation, say) leaves every later window of the run unable to open.
# It starts outside this shell's jobs, so that a `wait` for other work never
# waits for it.
xvfb_pid=
start_display() {
    local file="$build/xvfb.display"
    rm -f "$file"
    xvfb_pid=$(Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$file" >/dev/null 2>&1 &
        echo $!)
    for _ in $(seq 100); do
        [ -s "$file" ] && break
        sleep 0.1
    done
    [ -s "$file" ] || die "the X server (Xvfb) did not start"
    export DISPLAY=":$(head -n 1 "$file")"
    unset XAUTHORITY
}
stop_display() { [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true; }

# However a command ends: no Wine processes and no X server left behind, and
# a test run cut short (set-up, a build, Wine, Ctrl+C) still ends with its
# count line, the cut counted as one failure, since that line is what CI reads.
wine_started=
test_passed= test_failed=
end_run() {
    if [ -n "$wine_started" ]; then
        stop_wine
        stop_display
    fi
    if [ -n "$test_failed" ]; then
        echo "$test_passed passed, $((test_failed + 1)) failed"
    fi
}

prepare() {
    if [ "${1:-}" = demo ]; then prepare_demo_build; else prepare_build; fi
    wine_env
    wine_started=1
    # A wineserver left from an earlier run keeps that run's display.
    stop_wine
    wineserver -w >/dev/null 2>&1 || true
    start_display
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "fenwix: creating the Wine prefix $WINEPREFIX" >&2
        wineboot -i >/dev/null 2>&1 || die "wineboot failed"
        wineserver -w >/dev/null 2>&1 || true
    fi
    # One long-lived wineserver makes every Windows program start faster, and
    # one program run before anything starts in parallel lets Wine bring up
    # its own services first: two programs racing into a cold prefix can hang.
    wineserver -p 600 >/dev/null 2>&1 || true
    "$root/scripts/wine-run" "$build/win64/tests/harness/exit_code_harness.exe" >/dev/null 2>&1 || true
}

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

run_ctest() {
    local preset=$1 log="$build/ctest-$1.log" report="$build/ctest-$1.xml"
    rm -f "$report"
    # Windowed launchers' dialogs and progress windows use the run's X server.
    (cd "$root" && ctest --preset "$preset" -j "$(nproc)" --timeout 300 --output-junit "$report") \
        >"$log" 2>&1 || true
    grep -E '^\s*[0-9]+/[0-9]+ Test' "$log" | grep -v ' Passed ' || true
    sed -n '/The following tests FAILED/,$p' "$log"
    # The counts come from CTest's own report of each test, not its summary text.
    if ! python3 "$root/scripts/ctest_counts.py" "$report" >"$build/ctest-$preset.count"; then
        rm -f "$build/ctest-$preset.count"
        tail -n 40 "$log"
    fi
}

# Writes dist/ from the builds as they are (scripts/make-dist.sh). Every
# step is checked: ./fenwix test runs it in a subshell as a condition, where
# set -e does not stop at a failing step.
make_dist() {
    "$root/scripts/make-dist.sh" "$root/dist" || die "making the packages failed"
    ls -1 "$root/dist"
}

cmd_dist() {
    prepare_build
    make_dist
}

# Runs every fuzz target for $1 seconds over its corpus (seeds written
# first), as many at once as there are cores; prints one line per target and
# the total, and writes "passed failed" (one per target) to build/fuzz.count.
# A crash, a sanitizer report, a hang or running out of memory fails the
# target, and the input that did it is named.
run_fuzzers() {
    local seconds=$1 dir="$build/fuzz" targets=(entry_walk template contents version_reader)
    local t running=0 slots
    slots=$(nproc)
    rm -f "$build/fuzz.count"
    mkdir -p "$dir/findings" "$dir/logs"
    "$dir/tests/fuzz/fuzz_seeds" "$dir/corpus" || { echo "fenwix: writing the fuzz seeds failed"; return; }
    for t in "${targets[@]}"; do
        if [ "$running" -ge "$slots" ]; then
            wait -n || true
            running=$((running - 1))
        fi
        rm -f "$dir/logs/$t.rc"
        (
            rc=0
            nice "$dir/tests/fuzz/$t" "$dir/corpus/$t" -max_total_time="$seconds" -timeout=30 \
                -print_final_stats=1 -artifact_prefix="$dir/findings/$t-" >"$dir/logs/$t.log" 2>&1 || rc=$?
            echo "$rc" >"$dir/logs/$t.rc"
        ) &
        running=$((running + 1))
    done
    wait
    local passed=0 failed=0 total=0 runs found
    for t in "${targets[@]}"; do
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/logs/$t.log" | tail -n 1)
        runs=${runs:-0}
        total=$((total + runs))
        if [ "$(cat "$dir/logs/$t.rc" 2>/dev/null)" = 0 ]; then
            printf 'fuzz %-10s %12d executions\n' "$t" "$runs"
            passed=$((passed + 1))
        else
            found=$(sed -n 's/.*Test unit written to //p' "$dir/logs/$t.log" | tail -n 1)
            printf 'fuzz %-10s %12d executions, FAILED: %s (log %s)\n' "$t" "$runs" \
                "${found:-no input saved}" "$dir/logs/$t.log"
            failed=$((failed + 1))
        fi
    done
    printf 'fuzz %-10s %12d executions\n' total "$total"
    echo "$passed $failed" >"$build/fuzz.count"
}

cmd_fuzz() {
    local seconds=${1:-60} p f
    case "$seconds" in '' | *[!0-9]*) die "fuzz: SECONDS is a whole number" ;; esac
    prepare_build
    configure_and_build fuzz
    run_fuzzers "$seconds"
    read -r p f <"$build/fuzz.count" || die "the fuzz targets did not run"
    [ "$f" = 0 ]
}

# Adds the pass and fail counts a run left in FILE to the totals; a run
# that left none (WHAT names it) counts as one failure.
add_counts() {
    local p=0 f=1
    if [ -f "$1" ]; then
        read -r p f <"$1"
    else
        echo "fenwix: $2 did not run"
    fi
    test_passed=$((test_passed + p))
    test_failed=$((test_failed + f))
}

# Ends with one line, "N passed, M failed", and fails when M is not 0; the
# counts live in test_passed and test_failed so that end_run can still print
# that line when the run is cut short.
cmd_test() {
    local preset failed
    test_passed=0 test_failed=0
    prepare
    # The packages are made first (image_test installs them); making them
    # counts as one test only when it fails, and the tests run either way.
    if ! (make_dist) >/dev/null; then
        echo "fenwix: making the packages failed (./fenwix dist)"
        test_failed=$((test_failed + 1))
    fi
    # host-asan: the host code and its tests once more under ASan and UBSan.
    for preset in win64 host host-asan; do
        rm -f "$build/ctest-$preset.count"
        if [ "$preset" != host-asan ] || (configure_and_build host-asan); then
            run_ctest "$preset"
        fi
        add_counts "$build/ctest-$preset.count" "the $preset tests"
    done
    # A short pass of every fuzz target; each target counts as one test.
    rm -f "$build/fuzz.count"
    if (configure_and_build fuzz); then run_fuzzers 20; fi
    add_counts "$build/fuzz.count" "the fuzz targets"
    failed=$test_failed
    echo "$test_passed passed, $failed failed"
    test_failed=
    [ "$failed" = 0 ]
}

cmd_demo() {
    prepare demo
    local app="$build/win64/example-app" exe="$root/Orvelle.exe" code_file
    local local_appdata target
    local_appdata=$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -type d \
        -path '*/AppData/Local' 2>/dev/null | head -n 1) || true
    [ -n "$local_appdata" ] ||
        die "the Wine prefix has no AppData\\Local folder ($WINEPREFIX/drive_c/users/*/AppData/Local)"
    target="$local_appdata/Orvelle"
    code_file=$(mktemp)

    echo "== Packing the example application into Orvelle.exe"
    (cd "$app" && find . -type f -printf '   %P\n' | sort)
    "$tool" build "$app" -o "$exe" --quiet
    echo "   Orvelle.exe: $(stat -c %s "$exe") bytes"

    # The demo starts from an empty folder; it removes its own folder in the
    # prefix and nothing else, whatever find gave.
    case "$target" in
    "$WINEPREFIX"/drive_c/users/?*/AppData/Local/Orvelle) rm -rf -- "$target" ;;
    *) die "not removing $target: it is not the demo's folder in the Wine prefix" ;;
    esac
    run_demo() {
        local start end
        start=$(date +%s%N)
        "$root/scripts/wine-run" "$build/win64/tests/harness/exit_code_harness.exe" \
            "$(windows_path "$code_file")" "$(windows_path "$exe")" hello "two words" --exit 7 || true
        end=$(date +%s%N)
        echo "-> exit code $(cat "$code_file"), $(((end - start) / 1000000)) ms under Wine"
    }
    echo
    echo "== First start: Orvelle.exe hello \"two words\" --exit 7"
    run_demo | sed 's/^/   /'
    echo
    echo "== Unpacked into %LOCALAPPDATA%\\Orvelle ($target)"
    (cd "$target" && find . -type f -printf '   %P  %s bytes\n' | sort)
    local before after
    before=$(cd "$target" && find . -type f -printf '%P %T@ %C@\n' | sort)
    echo
    echo "== Second start: every file is already there with the right checksum"
    run_demo | tail -n 1 | sed 's/^/   /'
    after=$(cd "$target" && find . -type f -printf '%P %T@ %C@\n' | sort)
    if [ "$before" = "$after" ]; then
        echo "   no file was written (modification and change times are unchanged)"
    else
        echo "   some files were written again:"
        diff <(echo "$before") <(echo "$after") || true
    fi
    rm -f "$code_file"
}

trap end_run EXIT
case "${1:-}" in
test) cmd_test ;;
bench)
    prepare
    python3 "$root/bench/run.py" "${@:2}"
    ;;
demo) cmd_demo ;;
dist) cmd_dist ;;
fuzz) cmd_fuzz "${2:-}" ;;
*) die "workshop: unknown command ${1:-(none)}" ;;
esac
