#!/usr/bin/env bash
# debian_packages_test.sh SOURCE_DIR BUILD_DIR
# Makes the Debian packages of the build in hand with cpack (the programs the
# other tests ran, not a second build with other flags) and checks them with
# packaging/check-packages: lintian, an install into a throw-away root, the
# programs run from there. scripts/package runs the same check on its
# release build.
set -euo pipefail
source_dir=$(realpath "$1")
build_dir=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-debs-XXXXXX")
trap 'rm -rf "$work"' EXIT
if ! (cd "$build_dir" && cpack -B "$work" >"$work/cpack.log" 2>&1); then
    cat "$work/cpack.log" >&2
    exit 1
fi
"$source_dir/packaging/check-packages" "$work"
