#!/usr/bin/env bash
# The npm packages of dist/ as a user gets them: installed into an empty
# project with no registry to reach (the main package and the linux-x64 one,
# whose os and cpu fit), `npx fenwix build` makes the launcher that
# build/host/fenwix makes, byte for byte; without its platform package the
# command says which package is missing. The packages' manifests name every
# platform package at this exact version, each with its os and cpu, and the
# win32 one holds the Windows zip's fenwix.exe.
# Usage: npm_test.sh SOURCE_DIR HOST_BUILD_DIR WIN64_BUILD_DIR
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
main="$dist/fenwix-$version.tgz"
for f in "$main" "$dist"/fenwix-{linux-x64,linux-arm64,win32-x64}-"$version".tgz; do
    [ -f "$f" ] || fail "$f is missing (./fenwix dist makes it)"
done

# Each manifest, as npm reads it from the tarball.
manifest() { tar -xOzf "$1" package/package.json; }
field() { node -e 'const m = JSON.parse(require("fs").readFileSync(0)); console.log(JSON.stringify(eval("m." + process.argv[1])))' "$1"; }
[ "$(manifest "$main" | field bin)" = '{"fenwix":"bin/fenwix.js"}' ] || fail "fenwix's bin is $(manifest "$main" | field bin)"
expected="{\"@fenwix/linux-x64\":\"$version\",\"@fenwix/linux-arm64\":\"$version\",\"@fenwix/win32-x64\":\"$version\"}"
[ "$(manifest "$main" | field optionalDependencies)" = "$expected" ] ||
    fail "fenwix's optionalDependencies are $(manifest "$main" | field optionalDependencies)"
for p in linux:x64 linux:arm64 win32:x64; do
    os=${p%:*} cpu=${p#*:}
    m=$(manifest "$dist/fenwix-$os-$cpu-$version.tgz")
    [ "$(field name <<<"$m")" = "\"@fenwix/$os-$cpu\"" ] || fail "the $os-$cpu package is named $(field name <<<"$m")"
    [ "$(field version <<<"$m")" = "\"$version\"" ] || fail "the $os-$cpu package's version is $(field version <<<"$m")"
    [ "$(field os <<<"$m")" = "[\"$os\"]" ] || fail "the $os-$cpu package's os is $(field os <<<"$m")"
    [ "$(field cpu <<<"$m")" = "[\"$cpu\"]" ] || fail "the $os-$cpu package's cpu is $(field cpu <<<"$m")"
done
# Every package carries the licence; each holding a program, the notices of
# the libraries linked into it.
for f in "$main" "$dist"/fenwix-{linux-x64,linux-arm64,win32-x64}-"$version".tgz; do
    tar -xOzf "$f" package/LICENSE | cmp - "$source_dir/LICENSE" || fail "${f##*/} lacks the LICENSE"
    [ "$f" = "$main" ] || tar -xOzf "$f" package/THIRD_PARTY_NOTICES.txt | grep '^Zstandard$' >/dev/null ||
        fail "${f##*/} lacks the third-party notices"
done
tar -xOzf "$dist/fenwix-win32-x64-$version.tgz" package/bin/fenwix.exe >"$work/npm-fenwix.exe"
cmp "$work/npm-fenwix.exe" "$win64_build/bin/fenwix.exe" || fail "the win32 package holds another fenwix.exe"

# An empty project, npm's cache and configuration of its own, and a registry
# that cannot be reached: everything comes from the tarballs.
project="$work/project"
mkdir -p "$project"
export npm_config_cache="$work/cache" npm_config_userconfig="$work/npmrc"
export npm_config_registry=http://127.0.0.1:9/ npm_config_update_notifier=false
npm_flags=(--offline --no-audit --no-fund)
(cd "$project" && npm init -y >/dev/null &&
    npm install "${npm_flags[@]}" --save-dev "$main" "$dist/fenwix-linux-x64-$version.tgz" \
        >"$work/install.log" 2>&1) || { cat "$work/install.log"; fail "npm install of the tarballs failed"; }

"$host_build/fenwix" build "$app" -o "$work/host.exe" --quiet "${same_product[@]}"
(cd "$project" && npx --offline fenwix build "$app" -o "$work/npm.exe" --quiet "${same_product[@]}") ||
    fail "npx fenwix build failed"
cmp "$work/host.exe" "$work/npm.exe" || fail "npx fenwix made another launcher than build/host/fenwix"
# The exit code comes through: a refused build fails.
if (cd "$project" && npx --offline fenwix build "$work/no-such-folder" -o "$work/x.exe" 2>/dev/null); then
    fail "npx fenwix build of a missing folder succeeded"
fi

# Without the platform package: one clear line naming it, and a failure.
rm -rf "$project/node_modules/@fenwix/linux-x64"
if (cd "$project" && npx --offline fenwix build "$app" -o "$work/y.exe" --quiet >"$work/out" 2>"$work/err"); then
    fail "npx fenwix ran without its platform package"
fi
grep -q '@fenwix/linux-x64' "$work/err" || fail "without its platform package, npx fenwix says: $(cat "$work/err")"
echo "the npm packages install offline and npx fenwix makes the same launcher"
