#!/usr/bin/env bash
# dist/ made twice, a few seconds apart, under another umask and time zone,
# from the same builds: every package comes out byte for byte the same. The
# Debian package depends on nothing (its program is static), carries the
# gzipped man page, and is owned by root; SHA256SUMS lists every other file of
# dist/ with its right checksum.
# Usage: reproducible_test.sh SOURCE_DIR HOST_BUILD_DIR WIN64_BUILD_DIR
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Both runs' files get new times: the packages must not carry them.
(umask 022 && TZ=UTC "$source_dir/scripts/make-dist.sh" "$work/first")
sleep 2
(umask 077 && TZ=Pacific/Kiritimati "$source_dir/scripts/make-dist.sh" "$work/second")
[ "$(ls "$work/first")" = "$(ls "$work/second")" ] || fail "the two runs wrote other files"
for f in "$work/first"/*; do
    cmp "$f" "$work/second/${f##*/}" || fail "${f##*/} differs from one run to the next"
done

deb="$work/first/fenwix_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $(basename "$deb")"
fields=$(dpkg-deb -f "$deb")
if grep -E '^(Pre-)?Depends:' <<<"$fields"; then fail "the Debian package depends on other packages"; fi
contents=$(dpkg-deb -c "$deb")
if grep -v ' root/root ' <<<"$contents"; then fail "the Debian package holds files not owned by root"; fi
for path in ./usr/bin/fenwix ./usr/share/man/man1/fenwix.1.gz ./usr/share/doc/fenwix/README.txt \
    ./usr/share/doc/fenwix/copyright ./usr/share/doc/fenwix/THIRD_PARTY_NOTICES.txt \
    ./usr/lib/cmake/Fenwix/FenwixConfig.cmake ./usr/lib/cmake/Fenwix/FenwixConfigVersion.cmake; do
    grep -q " $path\$" <<<"$contents" || fail "the Debian package has no $path"
done
dpkg-deb -x "$deb" "$work/root"
# Its CMake package finds /usr/bin/fenwix (here below the unpacked root).
cmake -DPREFIX="$work/root/usr" -DPROBE="$win64_build/tests/harness/probe_child.exe" \
    -DWORK="$work/cmake-package" -DGENERATOR=Ninja \
    -P "$source_dir/tests/cmake_package/run.cmake" >"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; fail "the Debian package's CMake package made no launcher"; }
zcat "$work/root/usr/share/man/man1/fenwix.1.gz" | cmp - "$host_build/fenwix.1" ||
    fail "the Debian package's man page is not the build's"
# The copyright file in Debian's machine-readable format: every licence a
# Files paragraph names has a paragraph of its own.
copyright="$work/root/usr/share/doc/fenwix/copyright"
head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the Debian copyright file is not machine-readable"
for l in $(sed -n 's/^License: \(.* and .*\)$/\1/p' "$copyright" | sed 's/ and /\n/g' | sort -u); do
    grep -qx "License: $l" "$copyright" || fail "the Debian copyright file has no text for $l"
done
# The Windows zip carries the licence and the notices beside fenwix.exe.
zip="$work/first/fenwix-$version-windows-x64.zip"
(cd "$work" && cmake -E tar xf "$zip")
cmp "$work/fenwix/LICENSE" "$source_dir/LICENSE" || fail "the Windows zip lacks the LICENSE"
cmp "$work/fenwix/THIRD_PARTY_NOTICES.txt" "$source_dir/tools/dist/THIRD_PARTY_NOTICES.txt" ||
    fail "the Windows zip lacks the third-party notices"
for f in FenwixConfig.cmake FenwixConfigVersion.cmake; do
    cmp "$work/fenwix/lib/cmake/Fenwix/$f" "$host_build/lib/cmake/Fenwix/$f" ||
        fail "the Windows zip lacks the CMake package's $f"
done
# make-dist.sh empties its folder first: a folder it did not make is refused
# and keeps its files.
mkdir -p "$work/mine" && echo keep >"$work/mine/file"
if "$source_dir/scripts/make-dist.sh" "$work/mine" 2>"$work/refused"; then fail "make-dist.sh took a folder it did not make"; fi
grep -q 'not made by make-dist.sh' "$work/refused" || fail "make-dist.sh said: $(cat "$work/refused")"
[ "$(cat "$work/mine/file")" = keep ] || fail "make-dist.sh lost a file of a folder it did not make"
"$work/root/usr/bin/fenwix" --version | grep -qx "fenwix $version (zstd [0-9.]*)" ||
    fail "the Debian package's fenwix --version says: $("$work/root/usr/bin/fenwix" --version)"

# dist/ itself (./fenwix dist's) and its list of checksums: every other file,
# each once, and each checksum right.
[ -f "$dist/SHA256SUMS" ] || fail "$dist/SHA256SUMS is missing (./fenwix dist makes it)"
listed=$(awk '{ print $2 }' "$dist/SHA256SUMS" | sort)
present=$(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS ! -name .fenwix-dist -printf '%P\n' | sort)
[ "$listed" = "$present" ] || fail "SHA256SUMS lists: $listed; dist/ holds: $present"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "a checksum in SHA256SUMS is wrong"
echo "dist/ comes out the same twice; the Debian package depends on nothing"
