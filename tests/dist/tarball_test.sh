#!/usr/bin/env bash
# The Linux tarballs of dist/ as a user gets them: each holds one folder with
# a fully static fenwix, the README, the licence and third-party notices, the
# man page and the CMake package, with fixed times and
# owners; unpacked, the x86-64 program and the arm64 one (run under
# qemu-aarch64-static) make the same launcher from the example application,
# byte for byte, as build/host/fenwix does; a CMake project finds the x86-64
# one through find_package(Fenwix) and builds a launcher with it.
# Usage: tarball_test.sh SOURCE_DIR HOST_BUILD_DIR WIN64_BUILD_DIR
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# make-dist.sh takes the last commit's time unless given one.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct)}

"$host_build/fenwix" build "$app" -o "$work/host.exe" --quiet "${same_product[@]}"

for arch in x64 arm64; do
    name="fenwix-$version-linux-$arch"
    tarball="$dist/$name.tar.gz"
    [ -f "$tarball" ] || fail "$tarball is missing (./fenwix dist makes it)"

    # gzip -n: no name and no time in the gzip header (bytes 4 to 7).
    [ "$(od -An -tx1 -j4 -N4 "$tarball" | tr -d ' ')" = 00000000 ] ||
        fail "$tarball has a time in its gzip header"
    listing=$(tar -tvzf "$tarball" --full-time --numeric-owner)
    expected="$name/
$name/LICENSE
$name/README.txt
$name/THIRD_PARTY_NOTICES.txt
$name/fenwix
$name/fenwix.1
$name/lib/
$name/lib/cmake/
$name/lib/cmake/Fenwix/
$name/lib/cmake/Fenwix/FenwixConfig.cmake
$name/lib/cmake/Fenwix/FenwixConfigVersion.cmake"
    [ "$(tar -tzf "$tarball")" = "$expected" ] || fail "$tarball holds, in this order: $(tar -tzf "$tarball")"
    if grep -v ' 0/0 ' <<<"$listing"; then fail "$tarball has members not owned by 0/0"; fi
    stamp=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
    if TZ=UTC tar -tvzf "$tarball" --full-time | grep -v " $stamp "; then
        fail "$tarball has members not dated $stamp (the last commit's time)"
    fi

    tar -xzf "$tarball" -C "$work"
    program="$work/$name/fenwix"
    # No program interpreter and no dynamic section: nothing to load.
    if readelf -lW "$program" | grep -q 'INTERP'; then fail "$arch fenwix asks for a program interpreter"; fi
    if readelf -dW "$program" | grep -q 'NEEDED'; then fail "$arch fenwix needs shared libraries"; fi
    grep -q '^\.TH FENWIX 1 ' "$work/$name/fenwix.1" || fail "$name/fenwix.1 is no man page"
    grep -q '^\\fB\\-\\-level\\fR' "$work/$name/fenwix.1" || fail "$name/fenwix.1 does not describe --level"

    if [ "$arch" = x64 ]; then
        run=("$program")
        # ldd fails on a static program, saying so.
        grep -q 'not a dynamic executable' <<<"$(ldd "$program" 2>&1 || true)" ||
            fail "ldd finds the x64 fenwix dynamic"
        # find_package(Fenwix) with the unpacked folder as the prefix.
        cmake -DPREFIX="$work/$name" -DPROBE="$win64_build/tests/harness/probe_child.exe" \
            -DWORK="$work/cmake-package" -DGENERATOR=Ninja \
            -P "$source_dir/tests/cmake_package/run.cmake" >"$work/cmake.log" 2>&1 ||
            { cat "$work/cmake.log" >&2; fail "the x64 tarball's CMake package made no launcher"; }
    else
        run=(qemu-aarch64-static "$program")
    fi
    "${run[@]}" --version | grep -qx "fenwix $version (zstd [0-9.]*)" ||
        fail "$arch fenwix --version says: $("${run[@]}" --version)"
    [ "$("${run[@]}" --version)" = "$("$host_build/fenwix" --version)" ] ||
        fail "$arch fenwix compresses with another zstd than build/host/fenwix"
    "${run[@]}" build "$app" -o "$work/$arch.exe" --quiet "${same_product[@]}"
    cmp "$work/host.exe" "$work/$arch.exe" || fail "the $arch fenwix made another launcher"
done
echo "both tarballs hold a static fenwix that makes the same launcher"
