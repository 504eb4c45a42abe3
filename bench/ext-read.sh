#!/usr/bin/env bash
# bench/ext-read.sh: reading an EXT2 image. Makes a synthetic tree of FILES
# files (korvane-genimage --tree-dir), puts it in an EXT2 image with mke2fs -d,
# and times, on a warm page cache:
#   - korvane-cli ls -R          opening the image and listing every object
#   - korvane-cli info --read-all reading every file through ReadContent
#   - debugfs rdump / DIR        the e2fsprogs peer: extracting the whole tree
# Usage: bench/ext-read.sh [WORKDIR]   (env: FILES, BYTES, RUNS)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

files=${FILES:-20000}
bytes=${BYTES:-300000000}
runs=${RUNS:-3}
work=${1:-${TMPDIR:-/tmp}/korvane-bench-ext}

for tool in mke2fs debugfs cmake ninja; do
    command -v "$tool" >/dev/null || { echo "bench/ext-read.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done

echo "== building korvane (Release) in build-release" >&2
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
cmake --build build-release -- -j2 >/dev/null
cli=$root/build-release/src/cli/korvane-cli
gen=$root/build-release/bench/korvane-genimage

mkdir -p "$work"
tree=$work/tree
image=$work/ext2.img
stamp="$files $bytes"
if [[ ! -f "$image" || "$(cat "$work/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== writing a tree of $files files ($bytes bytes)" >&2
    rm -rf "$tree" "$image"
    "$gen" --tree-dir "$tree" --files "$files" --bytes "$bytes" --seed 1 >&2
    # Room for the contents, the metadata and some slack; at least 256 MiB.
    used=$(du -sk "$tree" | cut -f1)
    size_k=$(( used * 115 / 100 + 65536 ))
    (( size_k < 262144 )) && size_k=262144
    inodes=$(( files * 2 + 1000 ))
    echo "== mke2fs -t ext2 -b 4096 -N $inodes -d ($size_k KiB)" >&2
    mke2fs -q -F -t ext2 -b 4096 -N "$inodes" -d "$tree" "$image" "${size_k}k"
    echo "$stamp" >"$work/stamp"
fi

# Warm the page cache: the figures are about the reader, not the disk.
cat "$image" >/dev/null

# Best wall-clock time of $runs runs of a command, in seconds.
best() {
    local best_ns=0 start end t
    for ((i = 0; i < runs; i++)); do
        start=$(date +%s%N)
        "$@" >/dev/null
        end=$(date +%s%N)
        t=$((end - start))
        if ((best_ns == 0 || t < best_ns)); then best_ns=$t; fi
    done
    printf '%d.%03d' $((best_ns / 1000000000)) $((best_ns / 1000000 % 1000))
}

objects=$("$cli" ls -R "$image" | wc -l)
image_mib=$(( $(stat -c %s "$image") / 1048576 ))
content=$(du -sb "$tree" | cut -f1)

ls_s=$(best "$cli" ls -R "$image")
info_s=$(best "$cli" info "$image")
read_s=$(best bash -c "'$cli' info --read-all '$image' | grep '^read:' >'$work/read.txt'")
read_line=$(sed 's/^read: *//' "$work/read.txt")

rdump() {
    rm -rf "$work/rdump"
    mkdir -p "$work/rdump"
    debugfs -R "rdump / $work/rdump" "$image" 2>/dev/null
}
rdump_s=$(best rdump)
rm -rf "$work/rdump"

cat <<EOF

EXT2 image: ${image_mib} MiB, 4096-byte blocks, ${objects} objects below the root, ${content} bytes in the tree
(best of $runs runs, warm page cache)

  korvane-cli ls -R (open + list)        ${ls_s} s
  korvane-cli info (open)                ${info_s} s
  korvane-cli info --read-all (process)  ${read_s} s
      ${read_line}
  debugfs rdump / DIR (extract to disk)  ${rdump_s} s
EOF
