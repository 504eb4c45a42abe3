#!/usr/bin/env bash
# Peak memory of korvane-cli extract on images that claim more than they hold
# (a few KiB of YAFFS2 claiming a 4 GiB file, 1 MiB of EXT2 whose inode claims
# 12 GiB, 4,000 folders nested with 250-byte names) and on an image holding
# one real 2 GiB file; then extraction speed of the 256 MiB / 50,000-object
# image against unyaffs. Target: every peak under 100 MiB.
# Usage: bench/extract-memory.sh
source "$(dirname "$0")/common.sh"
build_release
cmake --build "$BUILD" -j 2 --target korvane-hostile >/dev/null
HOSTILE=$BUILD/bench/korvane-hostile
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-mem-XXXXXX")
trap 'rm -rf "$work"' EXIT

# peak_kib CMD...: runs CMD and prints its peak resident size in KiB.
peak_kib() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}

report() { printf '%-44s %8.1f MiB\n' "$1" "$(echo "$2 / 1024" | bc -l)"; }

"$HOSTILE" --out "$work/claims.yaffs2"
report "YAFFS2, $(stat -c %s "$work/claims.yaffs2") bytes, claims 4 GiB" \
    "$(peak_kib "$CLI" extract "$work/claims.yaffs2" -C "$work/o1")"

mkdir -p "$work/src" && printf small >"$work/src/f"
mke2fs -q -F -t ext2 -b 1024 -d "$work/src" "$work/claims.ext2" 1024
debugfs -w -R 'sif /f size 12884901888' "$work/claims.ext2" >/dev/null 2>&1
report "EXT2, 1 MiB, an inode claims 12 GiB" \
    "$(peak_kib "$CLI" extract "$work/claims.ext2" -C "$work/o2")"

"$HOSTILE" --out "$work/deep.yaffs2" --nested 4000
report "YAFFS2, 4,000 nested folders, 250-byte names" \
    "$(peak_kib "$CLI" extract "$work/deep.yaffs2" -C "$work/o3")"
# Folders this deep outgrow PATH_MAX: remove them level by level.
python3 -c 'import os,sys
d=sys.argv[1]; os.chdir(d); n=0
while True:
    e=[x for x in os.listdir(".")]
    if not e: break
    os.chdir(e[0]); n+=1
for _ in range(n):
    os.chdir(".."); [os.rmdir(x) for x in os.listdir(".")]' "$work/o3"

mkdir -p "$work/big"
head -c $((2 << 30)) /dev/urandom >"$work/big/real.bin"
"$CLI" pack "$work/big" "$work/big.yaffs2" --to yaffs2 >/dev/null
rm -rf "$work/big"
report "YAFFS2 with one real 2 GiB file" \
    "$(peak_kib "$CLI" extract "$work/big.yaffs2" -C "$work/o4")"
rm -rf "$work/o4" "$work/big.yaffs2"

img=$(yaffs2_bench_image)
command -v unyaffs >/dev/null || { echo "unyaffs is missing: run scripts/deps" >&2; exit 1; }
t_k=$(PREP="rm -rf $work/k" SYNC=1 best_of 1 "$CLI" extract "$img" -C "$work/k")
t_u=$(PREP="rm -rf $work/u; mkdir -p $work/u" SYNC=1 best_of 1 unyaffs "$img" "$work/u")
echo "extract of $(basename "$img"): korvane-cli ${t_k} s, unyaffs ${t_u} s, ratio $(ratio "$t_k" "$t_u")"
