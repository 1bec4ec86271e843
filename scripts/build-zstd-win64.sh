#!/usr/bin/env bash
# Builds libzstd for the Windows target from Debian's source package, twice:
#  - PREFIX: for the launcher: static, decompression only, no legacy formats,
#    no threads;
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
# Bump when the build below changes, so existing builds are redone.
recipe="decoder-only static, no legacy, single-threaded; full multithreaded static, 3"
if [ -f "$prefix/lib/libzstd.a" ] && [ -f "$full/lib/libzstd.a" ] &&
    [ "$(cat "$prefix/recipe" 2>/dev/null)" = "$recipe" ] &&
    [ "$(cat "$full/recipe" 2>/dev/null)" = "$recipe" ]; then
    exit 0
fi
rm -rf "$prefix/lib" "$prefix/include" "$prefix/recipe" "$full/lib" "$full/include" "$full/recipe"

work="$prefix/src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
echo "zstd: fetching Debian's libzstd source package" >&2
# The host's own version first, then every other source version apt knows,
# newest first: a mirror may lack one of them.
host_version=$(dpkg-query -W -f='${Version}' libzstd-dev 2>/dev/null || true)
fetched=0
for v in $host_version $(apt-cache showsrc libzstd | sed -n 's/^Version: //p' | sort -rV); do
  if apt-get source -qq "libzstd=$v" >/dev/null 2>&1; then fetched=1; break; fi
done
[ "$fetched" = 1 ] || { echo "zstd: apt-get source libzstd failed (are deb-src entries present?)" >&2; exit 1; }
src=$(find . -maxdepth 1 -type d -name 'libzstd-*' | head -n 1)
[ -n "$src" ] || { echo "zstd: source package did not unpack" >&2; exit 1; }

# Compressed bytes depend on the library's version: refuse one that differs
# from the host's, whose blocks fenwix.exe must reproduce.
version=$(sed -n 's/^#define ZSTD_VERSION_\(MAJOR\|MINOR\|RELEASE\) *\([0-9]*\).*/\2/p' "$src/lib/zstd.h" |
  paste -sd.)
host_upstream=$(pkg-config --modversion libzstd)
if [ "$version" != "$host_upstream" ]; then
    echo "zstd: the source package is $version but the host's libzstd-dev is $host_upstream;" \
        "fenwix.exe would write other blocks than the host tool" >&2
    exit 1
fi

mingw=(CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar MOREFLAGS="-O2")

echo "zstd: building decoder-only static library with mingw-w64" >&2
make -s -C "$src/lib" libzstd.a "${mingw[@]}" \
  ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0 \
  ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_UNUSED_FUNCTIONS=1 >/dev/null
mkdir -p "$prefix/lib" "$prefix/include"
cp "$src/lib/libzstd.a" "$prefix/lib/"
cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$prefix/include/"
if x86_64-w64-mingw32-nm "$prefix/lib/libzstd.a" 2>/dev/null | grep -q ' U ZSTD_pthread_create'; then
    echo "zstd: the library came out multithreaded" >&2
    exit 1
fi

# The objects of each flag set go to a folder of their own (named by a hash
# of the flags), so this build does not reuse the decoder's objects.
echo "zstd: building full multithreaded static library with mingw-w64" >&2
make -s -C "$src/lib" libzstd.a "${mingw[@]}" CPPFLAGS_STATLIB=-DZSTD_MULTITHREAD \
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
