#!/usr/bin/env bash
# Opening and listing a 256 MiB YAFFS2 image of 50,000 objects: korvane-cli ls -R
# against unyaffs -t, both from the page cache.
source "$(dirname "$0")/common.sh"
build_release
img=$(yaffs2_bench_image)
size=$(stat -c %s "$img")
objects=$("$CLI" ls -R "$img" | wc -l)
cat "$img" >/dev/null # into the page cache

k=$(best_of 5 "$CLI" ls -R "$img")
u=$(best_of 5 unyaffs -t "$img")
rate=$(echo "$size / $k / 1000000000" | bc -l)
printf 'YAFFS2 list: %s MiB, %s objects\n' "$((size >> 20))" "$objects"
printf '  korvane-cli ls -R  %6.3f s  (%.2f GB/s)\n' "$k" "$rate"
printf '  unyaffs -t         %6.3f s\n' "$u"
printf '  ratio korvane/unyaffs: %s\n' "$(ratio "$k" "$u")"
