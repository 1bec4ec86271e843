#!/usr/bin/env bash
# Fetches Debian's libzstd source package into DIR (fetch-deb-source.sh) and
# prints the folder it unpacked into. Compressed bytes depend on the
# library's version, and every fenwix (Linux, Windows, the host's tests)
# must write the same blocks: a source of another upstream version than the
# host's libzstd-dev is refused.
# Usage: fetch-zstd-source.sh DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$("$here/fetch-deb-source.sh" libzstd libzstd-dev "${1:?usage: fetch-zstd-source.sh DIR}")
version=$(sed -n 's/^#define ZSTD_VERSION_\(MAJOR\|MINOR\|RELEASE\) *\([0-9]*\).*/\2/p' "$src/lib/zstd.h" |
    paste -sd.)
host_upstream=$(pkg-config --modversion libzstd)
if [ "$version" != "$host_upstream" ]; then
    echo "zstd: the source package is $version but the host's libzstd-dev is $host_upstream;" \
        "the fenwix programs would write other blocks" >&2
    exit 1
fi
echo "$src"
