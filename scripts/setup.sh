#!/usr/bin/env bash
# Installs everything the build and the tests need, idempotently. Run as root.
# Only Debian's own package archive is used: the cross compiler, Wine, the host
# libraries, and the libzstd and zlib source packages (built for Windows by
# build-zstd-win64.sh, and statically for Linux by build-deps-linux.sh).
# Node.js for the end-to-end tests comes from the npm registry instead, through
# fetch-node.sh and the npm installed here when the machine has none.
set -euo pipefail

# `setup.sh demo` installs only what packing the example and running it under
# Wine need: the compilers, Wine and an X server; the rest is the tests'.
demo_packages=(
  cmake ninja-build make g++ pkg-config dpkg-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64 libzstd-dev zlib1g-dev googletest libgtest-dev
  xz-utils gzip icoutils python3 xvfb nlohmann-json3-dev
)
packages=(
  cmake ninja-build make g++ pkg-config dpkg-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine wine64
  libzstd-dev zlib1g-dev googletest libgtest-dev
  # The fenwix program for arm64 Linux, cross-built, and an emulator to run
  # it in the tests.
  g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static
  # The packages: dpkg-deb's compressor, and gzip for the tarballs and the
  # man page.
  xz-utils gzip
  icoutils python3
  # Independent readers of what fenwix writes, used by the tests: a PE
  # parser, Authenticode signing and the signature's ASN.1, and a tracer
  # that shows no program starts.
  python3-pefile osslsigncode openssl python3-asn1crypto strace
  # A real X server for the windows of windowed launchers, and screenshots.
  xvfb x11-apps netpbm
  # The fuzz targets and the sanitizer builds: clang with libFuzzer and the
  # sanitizer runtimes, and a symbolizer for readable reports.
  clang libclang-rt-14-dev llvm
  # The benchmark: the zstd and tar command-line tools for its native floors,
  # GNU time for peak memory, gnuplot for its chart.
  zstd tar time gnuplot-nox
  # The Node.js end-to-end test: reading the reports its program writes.
  nlohmann-json3-dev
  # The Unicode data the upper-case table is made from, to check it.
  unicode-data
)
# fetch-node.sh needs npm; a machine that has one (Debian's or another
# Node.js's) keeps it, as Debian's npm would conflict with another's.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
if [ "${1:-}" = demo ]; then packages=("${demo_packages[@]}"); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# apt-get source needs deb-src entries for the suites apt already uses.
add_deb_src() {
  local f=/etc/apt/sources.list.d/debian.sources
  if [ -f "$f" ] && ! grep -q '^Types:.*deb-src' "$f"; then
    sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
    return 0
  fi
  if [ -f /etc/apt/sources.list ] && ! grep -q '^deb-src' /etc/apt/sources.list; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >> /etc/apt/sources.list || true
    return 0
  fi
  return 1
}

need_update=0
add_deb_src && need_update=1
if [ ${#missing[@]} -gt 0 ]; then need_update=1; fi

if [ "$need_update" = 1 ]; then
  echo "setup: apt-get update" >&2
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
