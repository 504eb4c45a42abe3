#!/usr/bin/env bash
# bench/ext4-vs-7zip.sh: Korvane against 7-Zip (7zz), the strongest general
# reader of ext4 and Android sparse images, on ext4 images made by
# `mke2fs -t ext4 -d` from trees of about 10k, 50k and 200k objects (no device
# nodes, which 7-Zip does not make), each plain and as a sparse image
# (img2simg):
#   - list:    korvane-cli ls -lR IMAGE          against 7zz l IMAGE
#   - info:    korvane-cli info IMAGE            (headers only; no peer)
#   - extract: korvane-cli extract IMAGE -C DIR  against 7zz x -snld -oDIR IMAGE
#     (-snld: 7-Zip leaves out links that point outside their folder unless told)
# The two tools run alternately, RUNS pairs per row, the first of a pair
# switching each time; each run is timed with /usr/bin/time (wall, user +
# system CPU, peak resident size; wall to the nanosecond). A row gives the best wall and CPU of each
# tool and the median of the per-pair ratios, so that a busy moment on the
# shared machine falls on both sides of a pair.
# The same image is then put as partition system_a into a sparse super.img
# (korvane-cli pack-super --sparse), and listed and extracted from there
# (--part system_a). 7-Zip opens a super.img but not a partition inside it
# without extracting it to a file first, so the peer of those rows is 7-Zip
# on the bare ext4 image: the layers (sparse, super) are Korvane's cost alone.
# Targets: list <= 0.5 of 7zz l, extract <= 0.8 of 7zz x, info under 10 ms
# and 16 MiB.
# Usage: bench/ext4-vs-7zip.sh   (env: SETS="objects:image-size:content-bytes ...",
#        RUNS, EXTRACT_DIR (default /dev/shm: extraction on the shared
#        machine's throttled disk measures the disk), BUILD_DIR (an existing
#        build to use instead of a fresh Release build in build-release))
source "$(dirname "$0")/common.sh"

sets=${SETS:-"10000:1G:300000000 50000:2G:700000000 200000:4G:1200000000"}
runs=${RUNS:-5}
outdir=${EXTRACT_DIR:-/dev/shm}
for tool in mke2fs img2simg 7zz; do
    command -v "$tool" >/dev/null || { echo "bench/ext4-vs-7zip.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done
if [[ -n ${BUILD_DIR:-} ]]; then
    cmake --build "$BUILD_DIR" -j 2 --target korvane-cli korvane-genimage >/dev/null
    CLI=$BUILD_DIR/src/cli/korvane-cli
    GEN=$BUILD_DIR/bench/korvane-genimage
else
    build_release
fi

work=$BENCH_DIR/ext4-vs-7zip
mkdir -p "$work"
scratch=$(mktemp -d "$outdir/korvane-vs7z-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# measure CMD...: "wall cpu peak-KiB" of one run (output discarded).
# The wall time is taken in nanoseconds around time(1), whose own comes in
# hundredths of a second (too coarse for the 10k rows); CPU stays in its
# hundredths.
measure() {
    local t0 t1
    t0=$(date +%s%N)
    /usr/bin/time -f "%e %U %S %M" -o "$scratch/time" "$@" >/dev/null 2>&1 || true
    t1=$(date +%s%N)
    # (time puts "Command exited with non-zero status" first when it did.)
    tail -1 "$scratch/time" |
        awk -v ns=$((t1 - t0)) '{ printf "%.4f %.3f %s\n", ns / 1e9, $2 + $3, $4 }'
}

# pairs NAME KCMD -- PCMD: RUNS alternating runs of both; prints a row.
# Before each extraction run its target folder is emptied (untimed).
pairs() {
    local name=$1; shift
    local k=() p=()
    while [[ $1 != -- ]]; do k+=("$1"); shift; done
    shift
    p=("$@")
    local kw=() kc=() km=() pw=() pc=() pm=() rw=() rc=()
    for ((i = 0; i < runs; i++)); do
        local a b
        rm -rf "$scratch/k" "$scratch/p"
        if ((i % 2 == 0)); then
            a=$(measure "${k[@]}"); b=$(measure "${p[@]}")
        else
            b=$(measure "${p[@]}"); a=$(measure "${k[@]}")
        fi
        read -r w c m <<<"$a"; kw+=("$w"); kc+=("$c"); km+=("$m")
        read -r w2 c2 m2 <<<"$b"; pw+=("$w2"); pc+=("$c2"); pm+=("$m2")
        rw+=("$(echo "$w / ($w2 + 0.0001)" | bc -l)")
        rc+=("$(echo "$c / ($c2 + 0.0001)" | bc -l)")
    done
    local min max med
    min() { printf '%s\n' "$@" | sort -g | head -1; }
    max() { printf '%s\n' "$@" | sort -g | tail -1; }
    med() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] }'; }
    printf '  %-26s %7.3f s %6.3f s CPU %6.1f MiB | %7.3f s %6.3f s CPU %6.1f MiB | wall %s CPU %s\n' \
        "$name" "$(min "${kw[@]}")" "$(min "${kc[@]}")" "$(echo "$(max "${km[@]}") / 1024" | bc -l)" \
        "$(min "${pw[@]}")" "$(min "${pc[@]}")" "$(echo "$(max "${pm[@]}") / 1024" | bc -l)" \
        "$(med "${rw[@]}")" "$(med "${rc[@]}")"
}

echo "ext4 against 7-Zip $(7zz i 2>/dev/null | sed -n 's/^7-Zip (z) \([^ ]*\).*/\1/p' | head -1), $runs alternating pairs per row, load average $(cut -d' ' -f1 /proc/loadavg)"
echo "  (Korvane: best wall, best CPU, peak memory | 7-Zip: the same | median ratios of the pairs)"
for set in $sets; do
    IFS=: read -r objects size bytes <<<"$set"
    # genimage makes a tenth as many folders and a fiftieth as many links as files.
    files=$((objects * 100 / 112))
    image=$work/ext4-$objects.img
    sparse=$work/ext4-$objects.simg
    stamp="$objects $size $bytes"
    if [[ ! -s $sparse || "$(cat "$work/stamp-$objects" 2>/dev/null)" != "$stamp" ]]; then
        echo "== writing a tree of $files files ($bytes bytes) and a $size ext4 image of it" >&2
        rm -rf "$scratch/tree" "$image" "$sparse"
        "$GEN" --tree-dir "$scratch/tree" --files "$files" --bytes "$bytes" --seed 5 >&2
        mke2fs -q -F -t ext4 -N $((objects * 3 / 2)) -d "$scratch/tree" "$image" "$size"
        img2simg "$image" "$sparse"
        rm -rf "$scratch/tree"
        echo "$stamp" >"$work/stamp-$objects"
    fi
    cat "$image" "$sparse" >/dev/null
    count=$("$CLI" ls -R "$image" | wc -l)
    echo
    echo "$(($(stat -c %s "$image") >> 20)) MiB image, $count objects below the root (sparse image $(($(stat -c %s "$sparse") >> 20)) MiB)"
    for img in "$image" "$sparse"; do
        kind=plain
        [[ $img == "$sparse" ]] && kind=sparse
        pairs "list, $kind" "$CLI" ls -lR "$img" -- 7zz l "$img"
        pairs "extract, $kind" "$CLI" extract "$img" -C "$scratch/k" -- 7zz x -y -snld "-o$scratch/p" "$img"
        read -r w c m <<<"$(measure "$CLI" info "$img")"
        printf '  %-26s %7.3f s %6.3f s CPU %6.1f MiB\n' "info, $kind" "$w" "$c" "$(echo "$m / 1024" | bc -l)"
    done
    super=$work/super-$objects.simg
    if [[ ! -s $super || $super -ot $image ]]; then
        "$CLI" -q pack-super -o "$super" --device-size auto --sparse --group main:0 \
            --partition system_a:readonly:auto:main --image "system_a=$image"
    fi
    cat "$super" >/dev/null
    pairs "list, sparse super.img" "$CLI" ls -lR "$super" --part system_a -- 7zz l "$image"
    pairs "extract, sparse super.img" "$CLI" extract "$super" --part system_a -C "$scratch/k" -- \
        7zz x -y -snld "-o$scratch/p" "$image"
    rm -rf "$scratch/k" "$scratch/p"
done
