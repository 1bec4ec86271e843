#!/usr/bin/env bash
# Writes every package of the fenwix program into OUT from the builds as they
# are (presets host, linux-arm64 and win64), and OUT/SHA256SUMS listing them:
#   fenwix_<v>_amd64.deb                   Debian and Ubuntu
#   fenwix-<v>-linux-x64.tar.gz, -arm64    the static Linux programs
#   fenwix-<v>-windows-x64.zip             fenwix.exe
#   fenwix-<v>.tgz, fenwix-<platform>-<v>.tgz   the npm packages
# Every package is reproducible: its times are SOURCE_DATE_EPOCH (by default
# the time of the checkout's last commit), its owners 0/0, its names sorted,
# and nothing in it depends on the umask, the clock or the machine.
# Usage: make-dist.sh OUT
set -euo pipefail
out=$(realpath -m "${1:?usage: make-dist.sh OUT}")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

die() {
    printf 'make-dist: %s\n' "$*" >&2
    exit 1
}

linux_x64="$build/host/fenwix"
linux_arm64="$build/linux-arm64/fenwix"
windows="$build/win64/bin/fenwix.exe"
man="$build/host/fenwix.1"
readme="$root/tools/dist/README.txt"
license="$root/LICENSE"
notices="$root/tools/dist/THIRD_PARTY_NOTICES.txt"
# The CMake package, find_package(Fenwix), as the host build lays it out:
# each package puts it in lib/cmake/Fenwix below the program's folder (or
# below /usr, whose bin/ holds the program), where it finds the program.
cmake_config="$build/host/lib/cmake/Fenwix/FenwixConfig.cmake"
cmake_version="$build/host/lib/cmake/Fenwix/FenwixConfigVersion.cmake"
for f in "$linux_x64" "$linux_arm64" "$windows" "$man" "$readme" "$license" "$notices" \
    "$cmake_config" "$cmake_version"; do
    [ -f "$f" ] || die "$f is missing; build it first (./fenwix dist does)"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/host/CMakeCache.txt")
[ -n "$version" ] || die "no project version in $build/host/CMakeCache.txt"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) ||
        die "no SOURCE_DATE_EPOCH given and no last commit to take it from"
fi
export SOURCE_DATE_EPOCH
# Files made here get the same modes whatever the caller's umask.
umask 022
export TZ=UTC LC_ALL=C

# OUT is emptied first, so it must be the checkout's dist/, an empty or new
# folder, or one this script made: a mistyped path must never cost anyone a
# folder of their own.
marker=.fenwix-dist
if [ -e "$out" ] && [ ! -e "$out/$marker" ] && [ "$out" != "$root/dist" ] && [ -n "$(ls -A "$out" 2>/dev/null || echo x)" ]; then
    die "$out is not empty and was not made by make-dist.sh (no $marker in it); give a new folder"
fi
rm -rf "$out"
mkdir -p "$out"
: >"$out/$marker"
# A staging folder of this run's own: the tests make dist/ twice.
stage=$(mktemp -d "$build/dist-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# Puts FILE into the staged tree at PATH with MODE (the folders on the way
# get 0755).
put() {
    local file=$1 path=$2 mode=$3
    mkdir -p "$(dirname "$path")"
    cp "$file" "$path"
    chmod "$mode" "$path"
}
# Puts the CMake package below the staged folder PREFIX.
put_cmake_package() {
    put "$cmake_config" "$1/lib/cmake/Fenwix/FenwixConfig.cmake" 0644
    put "$cmake_version" "$1/lib/cmake/Fenwix/FenwixConfigVersion.cmake" 0644
}
# Fixes the times of everything below a staged folder.
settle() {
    find "$1" -exec chmod go-w {} + -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# ---- The Linux tarballs: one folder holding the static program, the README,
# ---- the man page and the CMake package.
tarball() {
    local arch=$1 program=$2 name="fenwix-$version-linux-$1"
    local dir="$stage/tar-$arch/$name"
    put "$program" "$dir/fenwix" 0755
    put "$readme" "$dir/README.txt" 0644
    put "$license" "$dir/LICENSE" 0644
    put "$notices" "$dir/THIRD_PARTY_NOTICES.txt" 0644
    put "$man" "$dir/fenwix.1" 0644
    put_cmake_package "$dir"
    settle "$stage/tar-$arch"
    tar -C "$stage/tar-$arch" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" -cf - "$name" | gzip -9n >"$out/$name.tar.gz"
}
tarball x64 "$linux_x64"
tarball arm64 "$linux_arm64"

# ---- The Windows zip.
zip_dir="$stage/zip/fenwix"
put "$windows" "$zip_dir/fenwix.exe" 0755
put "$readme" "$zip_dir/README.txt" 0644
put "$license" "$zip_dir/LICENSE" 0644
put "$notices" "$zip_dir/THIRD_PARTY_NOTICES.txt" 0644
put_cmake_package "$zip_dir"
settle "$stage/zip"
# Its files named one by one, in order: a folder would be read in the file
# system's order. Zip's times are local: TZ is UTC above.
(cd "$stage/zip" && cmake -E tar cf "$out/fenwix-$version-windows-x64.zip" --format=zip \
    fenwix/LICENSE fenwix/README.txt fenwix/THIRD_PARTY_NOTICES.txt fenwix/fenwix.exe \
    fenwix/lib/cmake/Fenwix/FenwixConfig.cmake fenwix/lib/cmake/Fenwix/FenwixConfigVersion.cmake) || die "making the Windows zip failed"

# ---- The Debian package, built from a staged tree by dpkg-deb, which takes
# ---- its members' times from SOURCE_DATE_EPOCH.
deb="$stage/deb"
put "$linux_x64" "$deb/usr/bin/fenwix" 0755
put "$readme" "$deb/usr/share/doc/fenwix/README.txt" 0644
put "$notices" "$deb/usr/share/doc/fenwix/THIRD_PARTY_NOTICES.txt" 0644
put_cmake_package "$deb/usr"
# Debian's machine-readable copyright: our licence, then what the static
# program carries of others (their full texts are in THIRD_PARTY_NOTICES.txt).
{
    cat <<'END'
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: fenwix

Files: *
Copyright: 2026 Fenwix Onefile developers
License: Expat

Files: usr/bin/fenwix
Copyright: 2026 Fenwix Onefile developers
 Meta Platforms, Inc. and affiliates (Zstandard, statically linked)
 1995-2022 Jean-loup Gailly and Mark Adler (zlib, statically linked)
 Free Software Foundation, Inc. (GNU C Library, statically linked)
License: Expat and BSD-3-clause and Zlib and LGPL-2.1+
Comment: The texts of the BSD-3-clause and Zlib licences are in
 /usr/share/doc/fenwix/THIRD_PARTY_NOTICES.txt; the LGPL-2.1 is in
 /usr/share/common-licenses/LGPL-2.1.

License: Expat
END
    tail -n +5 "$license" | sed -e 's/^$/./' -e 's/^/ /'
    cat <<'END'

License: BSD-3-clause
 See /usr/share/doc/fenwix/THIRD_PARTY_NOTICES.txt (Zstandard).

License: Zlib
 See /usr/share/doc/fenwix/THIRD_PARTY_NOTICES.txt (zlib).

License: LGPL-2.1+
 See /usr/share/common-licenses/LGPL-2.1.
END
} >"$deb/usr/share/doc/fenwix/copyright"
chmod 0644 "$deb/usr/share/doc/fenwix/copyright"
mkdir -p "$deb/usr/share/man/man1"
gzip -9n <"$man" >"$deb/usr/share/man/man1/fenwix.1.gz"
chmod 0644 "$deb/usr/share/man/man1/fenwix.1.gz"
# Installed-Size in KiB, from the files' sizes alone (not the file system's
# blocks, which differ from one machine to another).
installed_kib=$(find "$deb/usr" -type f -printf '%s\n' | awk '{ k += int(($1 + 1023) / 1024) } END { print k }')
mkdir -p "$deb/DEBIAN"
# The program is static: it depends on no package at all.
cat >"$deb/DEBIAN/control" <<EOF
Package: fenwix
Version: $version
Architecture: amd64
Maintainer: Fenwix Onefile developers <dev@fenwix.invalid>
Installed-Size: $installed_kib
Section: devel
Priority: optional
Description: Turns a Windows application folder into one self-unpacking executable
 fenwix packs a Windows application folder (a main .exe, its DLLs and data)
 into one 64-bit Windows executable, which unpacks the folder into a per-user
 folder on its first start and runs the program. It runs no compiler or
 other program: the launcher it writes into every executable is inside it.
EOF
(cd "$deb" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
settle "$deb"
dpkg-deb --root-owner-group -Zxz --build "$deb" "$out/fenwix_${version}_amd64.deb" >/dev/null ||
    die "making the Debian package failed"

# ---- The npm packages: one per platform holding its program, and fenwix,
# ---- whose bin runs the one that fits. npm pack writes fixed times and
# ---- owners itself; its tarball's name is the package's.
npm_platform() {
    local platform=$1 os=$2 cpu=$3 program=$4 file=$5 dir="$stage/npm/$1"
    mkdir -p "$dir"
    for f in package.json README.md; do
        sed -e "s/@PLATFORM@/$platform/g" -e "s/@OS@/$os/g" -e "s/@CPU@/$cpu/g" \
            -e "s/@PROGRAM@/$program/g" -e "s/@VERSION@/$version/g" \
            "$root/tools/npm/platform/$f" >"$dir/$f"
    done
    put "$file" "$dir/bin/$program" 0755
    put "$license" "$dir/LICENSE" 0644
    put "$notices" "$dir/THIRD_PARTY_NOTICES.txt" 0644
}
npm_platform linux-x64 linux x64 fenwix "$linux_x64"
npm_platform linux-arm64 linux arm64 fenwix "$linux_arm64"
npm_platform win32-x64 win32 x64 fenwix.exe "$windows"
main="$stage/npm/fenwix"
put "$root/tools/npm/fenwix/bin/fenwix.js" "$main/bin/fenwix.js" 0755
put "$root/tools/npm/fenwix/README.md" "$main/README.md" 0644
put "$license" "$main/LICENSE" 0644
sed "s/@VERSION@/$version/g" "$root/tools/npm/fenwix/package.json" >"$main/package.json"
settle "$stage/npm"
for dir in "$stage"/npm/*; do
    # No registry is needed, nor asked: the packages have no dependencies to
    # bundle, and npm's own cache stays out of the build.
    (cd "$dir" && npm pack --offline --ignore-scripts --cache "$stage/npm-cache" \
        --pack-destination "$out" >/dev/null 2>"$stage/npm-pack.log") ||
        { cat "$stage/npm-pack.log" >&2; die "npm pack of $dir failed"; }
done

# ---- What each file's SHA-256 is, sha256sum -c checks.
(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS ! -name "$marker" -printf '%P\n' | sort |
    xargs sha256sum >SHA256SUMS)
