#!/usr/bin/env bash
# Fetches and unpacks one of Debian's source packages into DIR and prints the
# folder it unpacked into. The version is the one pinned in pinned-sources;
# when the mirror no longer has it (a point release replaced it), the one of
# the installed binary package BINARY (which setup.sh installs), then the
# newest other version apt knows, and the callers check that the upstream
# version is still the one their output depends on.
# Usage: fetch-deb-source.sh SOURCE BINARY DIR
set -euo pipefail
source=${1:?usage: fetch-deb-source.sh SOURCE BINARY DIR}
binary=${2:?usage: fetch-deb-source.sh SOURCE BINARY DIR}
dir=${3:?usage: fetch-deb-source.sh SOURCE BINARY DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
echo "$source: fetching Debian's source package" >&2
pinned=$(awk -v s="$source" '$1 == s { print $2 }' "$here/pinned-sources")
host_version=$(dpkg-query -W -f='${Version}' "$binary" 2>/dev/null || true)
for v in $pinned $host_version $(apt-cache showsrc "$source" | sed -n 's/^Version: //p' | sort -rV); do
    if apt-get source -qq "$source=$v" >/dev/null 2>&1; then
        unpacked=$(find . -mindepth 1 -maxdepth 1 -type d | head -n 1)
        [ -n "$unpacked" ] || { echo "$source: the source package did not unpack" >&2; exit 1; }
        realpath "$unpacked"
        exit 0
    fi
done
echo "$source: apt-get source failed (are deb-src entries present?)" >&2
exit 1
