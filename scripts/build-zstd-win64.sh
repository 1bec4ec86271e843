#!/usr/bin/env bash
# Builds libzstd for the Windows target from Debian's source package, twice:
#  - PREFIX: for the launcher: static, decompression only, no legacy formats,
#    no threads, built for speed where it decodes and for size elsewhere (see
#    below);
#  - FULL_PREFIX: for fenwix.exe: static, compression and decompression (no
#    dictionary builder), multithreaded (zstd's own Windows threads). Its blocks must be the same
#    bytes as the host tool's, so it is the host's libzstd version and, like
#    the host tool, compresses with workers (whose output differs from
#    single-threaded output).
# Usage: build-zstd-win64.sh PREFIX [FULL_PREFIX]   (FULL_PREFIX defaults to PREFIX-full;
#        each gets include/ and lib/libzstd.a)
set -euo pipefail
prefix=$(realpath -m "${1:?usage: build-zstd-win64.sh PREFIX [FULL_PREFIX]}")
full=$(realpath -m "${2:-$prefix-full}")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Bump when the build below changes, so existing builds are redone.
recipe="decoder-only static, no legacy, single-threaded, hot files (with xxhash) -O3, rest -Os, Huffman X2 only, no error strings, function sections; full multithreaded static -O2, 5"
if [ -f "$prefix/lib/libzstd.a" ] && [ -f "$full/lib/libzstd.a" ] &&
    [ "$(cat "$prefix/recipe" 2>/dev/null)" = "$recipe" ] &&
    [ "$(cat "$full/recipe" 2>/dev/null)" = "$recipe" ]; then
    exit 0
fi
rm -rf "$prefix/lib" "$prefix/include" "$prefix/recipe" "$full/lib" "$full/include" "$full/recipe"

work="$prefix/src"
# The same pinned source as the Linux tool's libzstd (build-deps-linux.sh).
src=$("$here/fetch-zstd-source.sh" "$work")
cd "$work"

mingw=(CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar)

# The decoder is most of the launcher stub, which must stay under 200 KiB.
# Measured under Wine by decoding from memory as payload/reader.cpp does,
# frames of zstd -3 and -19 --long=27 --no-check made from a 200 MB tar of
# Wine's DLLs and a 123 MB tar of /usr/include (medians of 7 to 9 runs, each
# the median of 5 decodes; the noise is a few percent). Sizes are the
# difference they make to the stub.
#  - HUF_FORCE_DECOMPRESS_X2: one Huffman decoder (two symbols per lookup)
#    instead of two: 24,576 bytes less, -5% to +5% against the pair across
#    the four frames. X1 alone would save 12,800 bytes more but decodes 0-6%
#    slower than X2.
#  - ZSTD_STRIP_ERROR_STRINGS: the launcher never prints zstd's error names;
#    2,048 bytes less.
#  - -ffunction-sections: the stub links with --gc-sections. Not
#    -fdata-sections: for this target GCC then puts zero-filled variables in
#    .data, which takes room in the file.
decoder=(ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0
  ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_UNUSED_FUNCTIONS=1 HUF_FORCE_DECOMPRESS_X2=1
  ZSTD_STRIP_ERROR_STRINGS=1)
# The files where decoding spends its time at -O3, zstd's own default:
# -O3 throughout decodes 10-12% faster than -O2 throughout on the -3 DLL
# frame and -2% to +4% on the other three. xxhash.o sums every decoded byte
# for the frames' content checksums: at -Os its 8-byte reads stay calls, and
# summing took a fifth of a cold start's time under Wine.
hot=(huf_decompress.o zstd_decompress_block.o xxhash.o)
hot_flags="-O3 -ffunction-sections"
# The rest (frame and stream handling, table setup: work per block, not per
# byte) at -Os: 18,432 bytes less than -O3, -2% to +2% in speed, within the
# noise. -mstringop-strategy=libcall keeps the copies of decoded bytes on
# memcpy, which -Os would turn into rep movsb.
cold_flags="-Os -mstringop-strategy=libcall -ffunction-sections"

echo "zstd: building decoder-only static library with mingw-w64" >&2
# Each flag set builds into an object folder of its own (named by a hash of
# the flags); the -O3 objects replace their -Os builds in the -Os library.
make -s -C "$src/lib" libzstd.a "${mingw[@]}" MOREFLAGS="$cold_flags" "${decoder[@]}" >/dev/null
mkdir -p "$prefix/lib" "$prefix/include"
cp "$src/lib/libzstd.a" "$prefix/lib/"
make -s -C "$src/lib" libzstd.a "${mingw[@]}" MOREFLAGS="$hot_flags" "${decoder[@]}" >/dev/null
rm -rf "$work/hot"
mkdir -p "$work/hot"
(cd "$work/hot" && x86_64-w64-mingw32-ar x "$src/lib/libzstd.a" "${hot[@]}" &&
    x86_64-w64-mingw32-ar rs "$prefix/lib/libzstd.a" "${hot[@]}")
cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$prefix/include/"
if x86_64-w64-mingw32-nm "$prefix/lib/libzstd.a" 2>/dev/null | grep -q ' U ZSTD_pthread_create'; then
    echo "zstd: the library came out multithreaded" >&2
    exit 1
fi

# The objects of each flag set go to a folder of their own (named by a hash
# of the flags), so this build does not reuse the decoder's objects.
echo "zstd: building full multithreaded static library with mingw-w64" >&2
make -s -C "$src/lib" libzstd.a "${mingw[@]}" MOREFLAGS="-O2" CPPFLAGS_STATLIB=-DZSTD_MULTITHREAD \
  ZSTD_LIB_DICTBUILDER=0 >/dev/null
mkdir -p "$full/lib" "$full/include"
cp "$src/lib/libzstd.a" "$full/lib/"
cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$full/include/"
symbols=$(x86_64-w64-mingw32-nm "$full/lib/libzstd.a" 2>/dev/null)
if ! grep -q ' T ZSTD_pthread_create' <<<"$symbols" || ! grep -q ' T ZSTD_compressStream2' <<<"$symbols"; then
    echo "zstd: the full library came out without threads or without compression" >&2
    exit 1
fi

echo "$recipe" >"$prefix/recipe"
echo "$recipe" >"$full/recipe"
