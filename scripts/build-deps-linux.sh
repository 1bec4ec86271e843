#!/usr/bin/env bash
# Builds the two static libraries the Linux fenwix links, for one target,
# from Debian's source packages, into PREFIX (include/, lib/libzstd.a,
# lib/libz.a):
#  - libzstd, the version fenwix.exe is built with (build-zstd-win64.sh: the
#    host's libzstd-dev), full and multithreaded like fenwix.exe's, so that
#    every host's fenwix writes the same blocks byte for byte;
#  - zlib (its CRC-32).
# Both position-independent, so that the host's tests, linked as PIE, can
# link them too; the fenwix program itself links them into a static image.
# Usage: build-deps-linux.sh TRIPLET PREFIX   (TRIPLET: x86_64-linux-gnu or
#        aarch64-linux-gnu; its gcc and ar do the build)
set -euo pipefail
usage="usage: build-deps-linux.sh TRIPLET PREFIX"
triplet=${1:?$usage}
prefix=$(realpath -m "${2:?$usage}")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Bump when the build below changes, so existing builds are redone.
recipe="$triplet: zstd full multithreaded static -O2 -fPIC, no dictionary builder; zlib static -O2 -fPIC; 1"
if [ -f "$prefix/lib/libzstd.a" ] && [ -f "$prefix/lib/libz.a" ] &&
    [ "$(cat "$prefix/recipe" 2>/dev/null)" = "$recipe" ]; then
    exit 0
fi
rm -rf "$prefix/lib" "$prefix/include" "$prefix/recipe"
cc=$triplet-gcc ar=$triplet-ar
command -v "$cc" >/dev/null || { echo "deps: $cc is missing (scripts/setup.sh installs it)" >&2; exit 1; }
mkdir -p "$prefix/lib" "$prefix/include"

zstd=$("$here/fetch-zstd-source.sh" "$prefix/src/zstd")
echo "zstd: building the full multithreaded static library for $triplet" >&2
# Only the library: zstd's programs and tests are not needed.
make -s -C "$zstd/lib" libzstd.a CC="$cc" AR="$ar" MOREFLAGS="-O2 -fPIC" \
    CPPFLAGS_STATLIB=-DZSTD_MULTITHREAD ZSTD_LIB_DICTBUILDER=0 >/dev/null
cp "$zstd/lib/libzstd.a" "$prefix/lib/"
cp "$zstd/lib/zstd.h" "$zstd/lib/zstd_errors.h" "$prefix/include/"
symbols=$("$triplet-nm" "$prefix/lib/libzstd.a" 2>/dev/null)
if ! grep -q ' T ZSTD_pthread_create\| T ZSTDMT_createCCtx' <<<"$symbols" ||
    ! grep -q ' T ZSTD_compressStream2' <<<"$symbols"; then
    echo "zstd: the library came out without threads or without compression" >&2
    exit 1
fi

zlib=$("$here/fetch-deb-source.sh" zlib zlib1g-dev "$prefix/src/zlib")
echo "zlib: building the static library for $triplet" >&2
(cd "$zlib" && CHOST=$triplet CC=$cc AR=$ar CFLAGS="-O2 -fPIC" ./configure --static >/dev/null &&
    make -s libz.a >/dev/null)
cp "$zlib/libz.a" "$prefix/lib/"
cp "$zlib/zlib.h" "$zlib/zconf.h" "$prefix/include/"

echo "$recipe" >"$prefix/recipe"
