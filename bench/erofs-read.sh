#!/usr/bin/env bash
# bench/erofs-read.sh: reading EROFS images. Makes a synthetic tree of FILES
# files (korvane-genimage --tree-dir), packs it with mkfs.erofs uncompressed
# and with LZ4HC, and times on a warm page cache (the image read once from
# disk), for each image:
#   - korvane-cli ls -R              opening the image and listing every object
#   - korvane-cli extract -C DIR     extracting the whole tree
#   - fsck.erofs --extract=DIR       the erofs-utils peer
# and the peak memory (RSS) of Korvane's runs.
# The files' contents compress to a little over half with LZ4HC, as a phone's
# system files do (CONTENTS=random: they do not compress, and the LZ4HC image
# holds them stored as they are).
# Usage: bench/erofs-read.sh [WORKDIR]
#   (env: FILES, BYTES, RUNS, CONTENTS, KORVANE_BUILD, EXTRACT_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

files=${FILES:-50000}
bytes=${BYTES:-1073741824}
runs=${RUNS:-3}
contents=${CONTENTS:-compressible}
case $contents in
compressible) genopts=(--compressible) ;;
random) genopts=() ;;
*) echo "bench/erofs-read.sh: CONTENTS is compressible or random" >&2; exit 2 ;;
esac
work=${1:-${TMPDIR:-/tmp}/korvane-bench-erofs}
# Extraction goes to EXTRACT_DIR (default /dev/shm): on the shared machine's
# throttled disk it would measure the disk, for both tools alike.
out=${EXTRACT_DIR:-/dev/shm}/korvane-bench-out

for tool in mkfs.erofs fsck.erofs cmake ninja /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench/erofs-read.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
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
stamp="$files $bytes $contents"
if [[ ! -d "$tree" || "$(cat "$work/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== writing a tree of $files files ($bytes bytes, $contents)" >&2
    rm -rf "$tree" "$work"/*.img
    "$gen" --tree-dir "$tree" --files "$files" --bytes "$bytes" --seed 1 "${genopts[@]}" >&2
    echo "$stamp" >"$work/stamp"
fi
for kind in plain lz4hc; do
    image=$work/$kind.img
    if [[ ! -f "$image" ]]; then
        opts=()
        [[ $kind == lz4hc ]] && opts=(-zlz4hc)
        echo "== mkfs.erofs ${opts[*]}" >&2
        mkfs.erofs --quiet "${opts[@]}" "$image" "$tree"
    fi
done

# Best wall-clock time of $runs runs of a command, in seconds; the folder
# extracted into is emptied before each run.
best() {
    local best_ns=0 start end t
    for ((i = 0; i < runs; i++)); do
        rm -rf "$out"
        sync
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        t=$((end - start))
        if ((best_ns == 0 || t < best_ns)); then best_ns=$t; fi
    done
    printf '%d.%03d' $((best_ns / 1000000000)) $((best_ns / 1000000 % 1000))
}
peak() { # peak RSS in MiB of one run
    rm -rf "$out"
    /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%d", $1 / 1024}'
}

printf '%-7s %10s %10s %10s %8s %8s %10s %10s\n' image ls-R extract fsck ls/fsck ex/fsck ls-MiB ex-MiB
for kind in plain lz4hc; do
    image=$work/$kind.img
    # Every run starts from the page cache that reading the image from disk
    # leaves: one that mkfs.erofs has just written holds small pages, and
    # the figures moved with how long ago the image was made.
    sync
    dd if="$image" iflag=nocache count=0 status=none
    cat "$image" >/dev/null
    t_ls=$(best "$cli" ls -R "$image")
    t_ex=$(best "$cli" extract "$image" -C "$out")
    t_fsck=$(best fsck.erofs --extract="$out" "$image")
    m_ls=$(peak "$cli" ls -R "$image")
    m_ex=$(peak "$cli" extract "$image" -C "$out")
    printf '%-7s %10s %10s %10s %8.2f %8.2f %10s %10s\n' "$kind" "$t_ls" "$t_ex" "$t_fsck" \
        "$(echo "$t_ls / $t_fsck" | bc -l)" "$(echo "$t_ex / $t_fsck" | bc -l)" "$m_ls" "$m_ex"
done
rm -rf "$out"
