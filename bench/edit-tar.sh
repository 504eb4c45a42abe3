#!/usr/bin/env bash
# Scripted edits and rootless building:
#   - korvane-cli edit of one file in the 413 MiB / 50,400-object YAFFS2
#     benchmark image (every edit rewrites the whole image), against convert of
#     the same image, which writes the same bytes without the edit;
#   - korvane-cli pack from a tar of the 256 MiB / 20,000-file benchmark
#     folder, against pack from the folder itself, into YAFFS2 and EXT2.
# Every write starts after a sync; best of three. Usage: bench/edit-tar.sh
source "$(dirname "$0")/common.sh"
build_release
img=$(yaffs2_bench_image)
size=$(stat -c %s "$img")
out=$BENCH_DIR/edit-out.img
cat "$img" >/dev/null

timed_write() { SYNC=1 best_of 3 "$@"; }

# A file of the image to edit: the first one ls -R names.
file=$("$CLI" ls -lR "$img" | awk '/^-/ { print $NF; exit }' || true)
c=$(timed_write "$CLI" convert "$img" "$out" --to yaffs2)
e=$(timed_write "$CLI" edit "$img" -o "$out" -e "chmod 0600 $file" -e "touch -d @1700000000 $file")
printf 'YAFFS2 edit: %s MiB image, one file changed\n' "$((size >> 20))"
printf '  convert (no edit)          %6.3f s\n' "$c"
printf '  edit                       %6.3f s  ratio to convert %s\n' "$e" "$(ratio "$e" "$c")"

tree=$(bench_tree_dir)
tarball=$BENCH_DIR/tree.tar
[[ -s $tarball ]] || tar --format=pax -cf "$tarball" -C "$tree" .
cat "$tarball" >/dev/null
find "$tree" -type f -exec cat {} + >/dev/null
printf 'pack from a tar: %s MiB folder, %s files; tar of %s MiB\n' \
    "$(($(du -sb "$tree" | cut -f1) >> 20))" "$(find "$tree" -type f | wc -l)" \
    "$(($(stat -c %s "$tarball") >> 20))"
for to in yaffs2 ext2; do
    d=$(timed_write "$CLI" pack "$tree" "$out" --to "$to")
    t=$(timed_write "$CLI" pack "$tarball" "$out" --to "$to")
    printf '  --to %-6s folder %6.3f s, tar %6.3f s  ratio %s\n' "$to" "$d" "$t" "$(ratio "$t" "$d")"
done
rm -f "$out"
