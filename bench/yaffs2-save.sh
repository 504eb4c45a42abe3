#!/usr/bin/env bash
# Saving YAFFS2: korvane-cli convert of the 256 MiB benchmark image with each
# data ECC kind, against copying the image file (the floor: both read and write
# every byte once).
source "$(dirname "$0")/common.sh"
build_release
img=$(yaffs2_bench_image)
size=$(stat -c %s "$img")
out=$BENCH_DIR/out.yaffs2
cat "$img" >/dev/null

timed_write() { sync; best_of 3 "$@"; }

c=$(timed_write cp "$img" "$out")
printf 'YAFFS2 save: %s MiB image\n' "$((size >> 20))"
printf '  cp of the image            %6.3f s\n' "$c"
for ecc in none yaffs nand; do
    t=$(timed_write "$CLI" convert "$img" "$out" --to yaffs2 --ecc "$ecc")
    printf '  convert --ecc %-5s        %6.3f s  %6.0f MB/s  ratio to cp %s\n' "$ecc" "$t" \
        "$(echo "$size / $t / 1000000" | bc -l)" "$(ratio "$t" "$c")"
done
rm -f "$out"
