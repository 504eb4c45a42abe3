#!/usr/bin/env bash
# Extraction speed: korvane-cli extract against unyaffs on the same 256 MiB
# YAFFS2 image of about 50,000 objects, each into a fresh folder.
# Usage: bench/yaffs2-extract.sh [WORKDIR]   (default: a temporary folder)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-release

command -v unyaffs >/dev/null || { echo "unyaffs is missing: run scripts/deps" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target korvane-cli korvane-genimage >/dev/null

if [[ $# -ge 1 ]]; then
    work=$1
    mkdir -p "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-bench-XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
img=$work/bench.yaffs2
rm -rf "$work/korvane" "$work/unyaffs"

files=45000
made=$("$build/bench/korvane-genimage" --out "$img" --files $files --bytes 268435456)
echo "image: $made"
read -r folders _ nfiles _ links _ <<<"$made"
objects=$((folders + nfiles + links))
if [[ $folders -ne $((files / 10)) || $nfiles -ne $files || $links -ne $((files / 50)) ]]; then
    echo "unexpected object counts: $made" >&2
    exit 1
fi
echo "objects below the root: $objects, image size: $(stat -c %s "$img") bytes"

# Seconds, with millisecond resolution, that a command takes.
timed() {
    local start end
    sync
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}

mkdir -p "$work/unyaffs"
t_unyaffs=$(timed unyaffs "$img" "$work/unyaffs")
t_korvane=$(timed "$build/src/cli/korvane-cli" extract "$img" -C "$work/korvane")

n_korvane=$(find "$work/korvane" -mindepth 1 | wc -l)
n_unyaffs=$(find "$work/unyaffs" -mindepth 1 | wc -l)
[[ $n_korvane -eq $objects && $n_unyaffs -eq $objects ]] ||
    { echo "extracted $n_korvane (korvane) and $n_unyaffs (unyaffs) of $objects objects" >&2; exit 1; }

ratio=$(awk -v k="$t_korvane" -v u="$t_unyaffs" 'BEGIN { printf "%.3f", k / u }')
printf 'korvane-cli extract: %6.3f s\n' "$t_korvane"
printf 'unyaffs:             %6.3f s\n' "$t_unyaffs"
printf 'ratio korvane/unyaffs: %s (target: at most 1.0)\n' "$ratio"
