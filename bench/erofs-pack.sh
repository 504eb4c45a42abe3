#!/usr/bin/env bash
# bench/erofs-pack.sh: writing EROFS images. Makes a synthetic tree of FILES
# files (korvane-genimage --tree-dir) and times on a warm page cache:
#   - korvane-cli pack DIR OUT --to erofs                 against mkfs.erofs
#   - korvane-cli pack ... --compress lz4hc (every core)  against mkfs.erofs -zlz4hc
# checking each image Korvane writes with fsck.erofs, and the peak memory.
# Usage: bench/erofs-pack.sh [WORKDIR]   (env: FILES, BYTES, RUNS, KORVANE_BUILD,
#        KINDS (default "none lz4hc"), IMAGE_DIR: where the images are written,
#        default WORKDIR; /dev/shm keeps the shared machine's throttled disk out
#        of the figures)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

files=${FILES:-50000}
bytes=${BYTES:-1073741824}
runs=${RUNS:-3}
work=${1:-${TMPDIR:-/tmp}/korvane-bench-erofs}

for tool in mkfs.erofs fsck.erofs cmake ninja /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench/erofs-pack.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done

# KORVANE_BUILD names a build folder to use as it is; otherwise a Release
# build of the two programs is made in build-release.
build=${KORVANE_BUILD:-}
if [[ -z $build ]]; then
    echo "== building korvane (Release) in build-release" >&2
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
    cmake --build build-release --target korvane-cli korvane-genimage -- -j2 >/dev/null
    build=$root/build-release
fi
cli=$build/src/cli/korvane-cli
gen=$build/bench/korvane-genimage

mkdir -p "$work"
tree=$work/tree
stamp="$files $bytes"
if [[ ! -d "$tree" || "$(cat "$work/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== writing a tree of $files files ($bytes bytes)" >&2
    rm -rf "$tree" "$work"/*.img
    "$gen" --tree-dir "$tree" --files "$files" --bytes "$bytes" --seed 1 >&2
    echo "$stamp" >"$work/stamp"
fi
find "$tree" -type f -exec cat {} + >/dev/null

best() {
    local best_ns=0 start end t
    for ((i = 0; i < runs; i++)); do
        rm -f "$img"
        sync
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        t=$((end - start))
        if ((best_ns == 0 || t < best_ns)); then best_ns=$t; fi
    done
    printf '%d.%03d' $((best_ns / 1000000000)) $((best_ns / 1000000 % 1000))
}
peak() {
    rm -f "$img"
    /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%d", $1 / 1024}'
}

img=${IMAGE_DIR:-$work}/korvane-bench-out.img
printf '%-8s %10s %10s %8s %10s %12s\n' kind korvane mkfs ratio MiB image-bytes
for kind in ${KINDS:-none lz4hc}; do
    mk=()
    [[ $kind == lz4hc ]] && mk=(-zlz4hc)
    t_k=$(best "$cli" pack "$tree" "$img" --to erofs --compress "$kind")
    m_k=$(peak "$cli" pack "$tree" "$img" --to erofs --compress "$kind")
    fsck.erofs "$img" >/dev/null || { echo "fsck.erofs rejects the $kind image" >&2; exit 1; }
    size=$(stat -c %s "$img")
    t_m=$(best mkfs.erofs --quiet "${mk[@]}" "$img" "$tree")
    printf '%-8s %10s %10s %8.2f %10s %12s\n' "$kind" "$t_k" "$t_m" "$(echo "$t_k / $t_m" | bc -l)" "$m_k" "$size"
done
rm -f "$img"
