#!/usr/bin/env bash
# Builds libzstd for the Windows target from Debian's source package:
# static, decompression only, no legacy formats, no threads.
# Usage: build-zstd-win64.sh PREFIX   (installs PREFIX/include and PREFIX/lib/libzstd.a)
set -euo pipefail
prefix=${1:?usage: build-zstd-win64.sh PREFIX}
# Bump when the build below changes, so existing builds are redone.
recipe="decoder-only static, no legacy, single-threaded, 2"
if [ -f "$prefix/lib/libzstd.a" ] && [ "$(cat "$prefix/recipe" 2>/dev/null)" = "$recipe" ]; then
    exit 0
fi
rm -rf "$prefix/lib" "$prefix/include" "$prefix/recipe"

work="$prefix/src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
echo "zstd: fetching Debian's libzstd source package" >&2
# Try every source version apt knows, newest first: a mirror may lack one of them.
fetched=0
for v in $(apt-cache showsrc libzstd | sed -n 's/^Version: //p' | sort -rV); do
  if apt-get source -qq "libzstd=$v" >/dev/null 2>&1; then fetched=1; break; fi
done
[ "$fetched" = 1 ] || { echo "zstd: apt-get source libzstd failed (are deb-src entries present?)" >&2; exit 1; }
src=$(find . -maxdepth 1 -type d -name 'libzstd-*' | head -n 1)
[ -n "$src" ] || { echo "zstd: source package did not unpack" >&2; exit 1; }

echo "zstd: building decoder-only static library with mingw-w64" >&2
make -s -C "$src/lib" libzstd.a \
  CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
  ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0 \
  ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_UNUSED_FUNCTIONS=1 \
  MOREFLAGS="-O2" >/dev/null

mkdir -p "$prefix/lib" "$prefix/include"
cp "$src/lib/libzstd.a" "$prefix/lib/"
cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$prefix/include/"
if x86_64-w64-mingw32-nm "$prefix/lib/libzstd.a" 2>/dev/null | grep -q ' U ZSTD_pthread_create'; then
    echo "zstd: the library came out multithreaded" >&2
    exit 1
fi
echo "$recipe" >"$prefix/recipe"
