# Shared helpers of the benchmark scripts (sourced).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_DIR=${BENCH_DIR:-$ROOT/bench/out}
# KORVANE_BUILD names an existing build folder to use (brought up to date)
# instead of the Release build in build-release.
BUILD=${KORVANE_BUILD:-$ROOT/build-release}
CLI=$BUILD/src/cli/korvane-cli
GEN=$BUILD/bench/korvane-genimage
mkdir -p "$BENCH_DIR"

build_release() {
    "$ROOT/scripts/deps"
    if [[ -z ${KORVANE_BUILD:-} ]]; then
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF -DKORVANE_TESTS=OFF >/dev/null
    fi
    cmake --build "$BUILD" -j 2 >/dev/null
}

# best_of N CMD...: runs CMD N times (output discarded) and prints the best
# wall time in seconds. Before each run, untimed: PREP (if set) is evaluated,
# and with SYNC=1 dirty pages are written out, so that writers start even.
best_of() {
    local n=$1; shift
    local best=""
    for ((i = 0; i < n; i++)); do
        [[ -n ${PREP:-} ]] && eval "$PREP"
        [[ ${SYNC:-0} == 1 ]] && sync
        local t0 t1 t
        t0=$(date +%s.%N)
        "$@" >/dev/null 2>&1
        t1=$(date +%s.%N)
        t=$(echo "$t1 - $t0" | bc -l)
        if [[ -z "$best" ]] || (($(echo "$t < $best" | bc -l))); then best=$t; fi
    done
    printf '%.3f\n' "$best"
}

ratio() { printf '%.2f\n' "$(echo "$1 / $2" | bc -l)"; }

# The 256 MiB / 50,000-object YAFFS2 benchmark image, made once.
yaffs2_bench_image() {
    local img=$BENCH_DIR/bench.yaffs2
    if [[ ! -s $img ]]; then
        "$GEN" --out "$img" --files 45000 --bytes 268435456 --seed 7 >&2
    fi
    echo "$img"
}

# The 256 MiB / 20,000-file benchmark folder, made once.
bench_tree_dir() {
    local dir=$BENCH_DIR/tree
    if [[ ! -d $dir ]]; then
        "$GEN" --tree-dir "$dir" --files 20000 --bytes 268435456 --seed 11 >&2
    fi
    echo "$dir"
}
