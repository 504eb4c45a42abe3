#!/usr/bin/env bash
# Saving YAFFS2: korvane-cli pack of a 256 MiB / 20,000-file folder against
# cp -a of the same folder (the floor: both read every byte and write it once),
# and convert of the 256 MiB benchmark image with each data ECC kind.
source "$(dirname "$0")/common.sh"
build_release
img=$(yaffs2_bench_image)
size=$(stat -c %s "$img")
out=$BENCH_DIR/out.yaffs2
cat "$img" >/dev/null

timed_write() { SYNC=1 best_of 3 "$@"; }

tree=$(bench_tree_dir)
tree_bytes=$(du -sb "$tree" | cut -f1)
cat_tree() { find "$tree" -type f -exec cat {} + >/dev/null; }
cat_tree
copy_tree() { rm -rf "$BENCH_DIR/copy"; cp -a "$tree" "$BENCH_DIR/copy"; }
cpa=$(timed_write copy_tree)
rm -rf "$BENCH_DIR/copy"
printf 'YAFFS2 pack: folder of %s MiB, %s files\n' "$((tree_bytes >> 20))" \
    "$(find "$tree" -type f | wc -l)"
printf '  cp -a of the folder        %6.3f s\n' "$cpa"
for ecc in none yaffs nand; do
    t=$(timed_write "$CLI" pack "$tree" "$out" --to yaffs2 --ecc "$ecc")
    printf '  pack --ecc %-5s           %6.3f s  ratio to cp -a %s\n' "$ecc" "$t" "$(ratio "$t" "$cpa")"
done

c=$(timed_write cp "$img" "$out")
printf 'YAFFS2 save: %s MiB image\n' "$((size >> 20))"
printf '  cp of the image            %6.3f s\n' "$c"
for ecc in none yaffs nand; do
    t=$(timed_write "$CLI" convert "$img" "$out" --to yaffs2 --ecc "$ecc")
    printf '  convert --ecc %-5s        %6.3f s  %6.0f MB/s  ratio to cp %s\n' "$ecc" "$t" \
        "$(echo "$size / $t / 1000000" | bc -l)" "$(ratio "$t" "$c")"
done
rm -f "$out"
