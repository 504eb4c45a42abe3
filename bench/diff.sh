#!/usr/bin/env bash
# bench/diff.sh: comparing two 1 GiB ext4 images of 50,000 files that differ
# in 10 files, on a warm page cache:
#   - korvane-cli diff A.img B.img             the images themselves
#   - diff -r A/ B/                            GNU diff on the two trees extracted
#                                              (extraction not counted)
#   - korvane-cli find A.img / -name '*7*'     a whole-image name search
# Usage: bench/diff.sh   (env: FILES, BYTES, RUNS)
source "$(dirname "$0")/common.sh"

files=${FILES:-50000}
bytes=${BYTES:-1000000000}
runs=${RUNS:-3}
for tool in mke2fs diff; do
    command -v "$tool" >/dev/null || { echo "bench/diff.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done
build_release

work=$BENCH_DIR/diff
stamp="$files $bytes"
mkdir -p "$work"
if [[ ! -s $work/b.img || "$(cat "$work/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== writing two trees of $files files ($bytes bytes), 10 files apart" >&2
    rm -rf "$work/a" "$work/b" "$work/a.img" "$work/b.img"
    "$GEN" --tree-dir "$work/a" --files "$files" --bytes "$bytes" --seed 5 >&2
    cp -a "$work/a" "$work/b"
    find "$work/b" -type f | sort | awk 'NR % 4999 == 1' | head -10 | while read -r f; do
        printf 'changed' | dd of="$f" bs=1 seek=0 conv=notrunc status=none
    done
    mke2fs -q -F -t ext4 -N $((files * 2)) -d "$work/a" "$work/a.img" 2G
    mke2fs -q -F -t ext4 -N $((files * 2)) -d "$work/b" "$work/b.img" 2G
    echo "$stamp" >"$work/stamp"
fi
cat "$work/a.img" "$work/b.img" >/dev/null
find "$work/a" "$work/b" -type f -exec cat {} + >/dev/null

k=$(best_of "$runs" "$CLI" diff --ignore-times "$work/a.img" "$work/b.img")
g=$(best_of "$runs" diff -r "$work/a" "$work/b")
f=$(best_of "$runs" "$CLI" find "$work/a.img" / -name '*7*')
echo "diff of two ext4 images ($files files, 10 differ)"
echo "  korvane-cli diff:  ${k} s"
echo "  diff -r (trees):   ${g} s   (korvane/diff -r: $(ratio "$k" "$g"))"
echo "  korvane-cli find -name: ${f} s (open and search)"
