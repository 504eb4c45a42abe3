#!/usr/bin/env bash
# bench/squashfs.sh: SquashFS against squashfs-tools on the same cores. Writes
# a tree of FILES files (korvane-genimage --tree-dir) and, for each compressor
# of COMPS, times on a warm page cache:
#   - pack:    korvane-cli pack --to squashfs --comp C   against  mksquashfs -comp C
#   - list:    korvane-cli ls -R                         against  unsquashfs -lls
#   - extract: korvane-cli extract -C DIR                against  unsquashfs -d DIR
# (both read the image mksquashfs made), with the peak memory (RSS) of
# Korvane's runs and the sizes of both images. Korvane's image is checked with
# unsquashfs -lls before it is timed.
# Usage: bench/squashfs.sh [WORKDIR]   (env: FILES, BYTES, COMPS, RUNS, KORVANE_BUILD, EXTRACT_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

files=${FILES:-20000}
bytes=${BYTES:-268435456}
comps=${COMPS:-xz gzip}
runs=${RUNS:-3}
work=${1:-${TMPDIR:-/tmp}/korvane-bench-squashfs}
# Extraction goes to EXTRACT_DIR (default /dev/shm): on the shared machine's
# throttled disk it would measure the disk, for both tools alike.
out=${EXTRACT_DIR:-/dev/shm}/korvane-bench-out

for tool in mksquashfs unsquashfs cmake ninja bc /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench/squashfs.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
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
    rm -rf "$tree" "$work"/*.sqfs
    "$gen" --tree-dir "$tree" --files "$files" --bytes "$bytes" --seed 1 >&2
    echo "$stamp" >"$work/stamp"
fi
find "$tree" -type f -exec cat {} + >/dev/null

# Best wall-clock time of $runs runs, in seconds; what the runs write is
# removed before each one.
best() {
    local best_ns=0 start end t
    for ((i = 0; i < runs; i++)); do
        rm -rf "$out" "$work/out.sqfs"
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
    rm -rf "$out" "$work/out.sqfs"
    /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%d", $1 / 1024}'
}
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

printf '%-5s %-8s %9s %9s %6s %8s %14s\n' comp job korvane peer ratio MiB image-bytes
for comp in $comps; do
    image=$work/$comp.sqfs
    [[ -f $image ]] || mksquashfs "$tree" "$image" -comp "$comp" -quiet -no-progress >/dev/null

    "$cli" pack "$tree" "$work/out.sqfs" --to squashfs --comp "$comp" >/dev/null
    unsquashfs -lls "$work/out.sqfs" >/dev/null ||
        { echo "unsquashfs rejects Korvane's $comp image" >&2; exit 1; }
    ours=$(stat -c %s "$work/out.sqfs")
    t_k=$(best "$cli" pack "$tree" "$work/out.sqfs" --to squashfs --comp "$comp")
    t_p=$(best mksquashfs "$tree" "$work/out.sqfs" -comp "$comp" -quiet -no-progress)
    m_k=$(peak "$cli" pack "$tree" "$work/out.sqfs" --to squashfs --comp "$comp")
    printf '%-5s %-8s %9s %9s %6s %8s %14s\n' "$comp" pack "$t_k" "$t_p" "$(ratio "$t_k" "$t_p")" \
        "$m_k" "$ours/$(stat -c %s "$image")"

    cat "$image" >/dev/null
    t_k=$(best "$cli" ls -R "$image")
    t_p=$(best unsquashfs -lls "$image")
    m_k=$(peak "$cli" ls -R "$image")
    printf '%-5s %-8s %9s %9s %6s %8s\n' "$comp" list "$t_k" "$t_p" "$(ratio "$t_k" "$t_p")" "$m_k"

    t_k=$(best "$cli" extract "$image" -C "$out")
    t_p=$(best unsquashfs -q -n -d "$out" "$image")
    m_k=$(peak "$cli" extract "$image" -C "$out")
    printf '%-5s %-8s %9s %9s %6s %8s\n' "$comp" extract "$t_k" "$t_p" "$(ratio "$t_k" "$t_p")" "$m_k"
done
rm -rf "$out" "$work/out.sqfs"
