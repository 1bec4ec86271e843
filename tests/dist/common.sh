# What every package test starts with; sourced, with the test's arguments
# SOURCE_DIR HOST_BUILD_DIR WIN64_BUILD_DIR. Sets the folders, the example
# application, the project's version, a scratch folder `work` removed at
# exit, and `fail`.
set -euo pipefail
source_dir=$1 host_build=$2 win64_build=$3
dist="$source_dir/dist"
app="$win64_build/example-app"
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$host_build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The launchers a test compares are written under different names, which
# would otherwise give them different products (the example's program has
# no version resource to give one).
same_product=(--product Example)
