#!/usr/bin/env bash
# Writing EXT images:
#   - korvane-cli pack of a 256 MiB folder into EXT2, against mke2fs -t ext2
#     -b 1024 -d and genext2fs -B 1024 -d with the same folder, each making an
#     image of the size and inode count Korvane's image has;
#   - korvane-cli convert of a 256 MiB YAFFS2 image to EXT3, against the same
#     job done with the peer tools (unyaffs into a folder, then mke2fs -t ext3
#     -b 1024 -d);
#   - korvane-cli pack of the folder into ext4, against mke2fs -t ext4 -d, and
#     into an Android sparse ext4 image, against mke2fs -t ext4 -d followed by
#     img2simg.
# Every write starts after a sync. The tree has FILES files, plus a folder per
# ten and a symbolic link per fifty files. Usage: bench/ext-write.sh
# (env: FILES, BYTES, RUNS)
source "$(dirname "$0")/common.sh"
files=${FILES:-20000}
bytes=${BYTES:-268435456}
runs=${RUNS:-3}
for tool in mke2fs genext2fs unyaffs e2fsck img2simg simg2img; do
    command -v "$tool" >/dev/null || { echo "bench/ext-write.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done
build_release

tree=$BENCH_DIR/ext-tree-$files
yaffs=$BENCH_DIR/ext-bench-$files.yaffs2
if [[ ! -d $tree || ! -s $yaffs ]]; then
    rm -rf "$tree" "$yaffs"
    "$GEN" --out "$yaffs" --tree-dir "$tree" --files "$files" --bytes "$bytes" --seed 7 >&2
fi
out=$BENCH_DIR/ext-out.img
peer=$BENCH_DIR/ext-peer.img
unpacked=$BENCH_DIR/ext-unpacked

# Best wall time of $runs runs, each after a sync; PREP (if set) runs untimed
# before each run.
timed() { SYNC=1 best_of "$runs" "$@"; }

check() {
    e2fsck -fn "$1" >/dev/null 2>&1 || { echo "bench/ext-write.sh: e2fsck finds errors in $1" >&2; exit 1; }
}

# Warm the page cache for the sources: the figures are about the writers.
cat "$yaffs" >/dev/null
find "$tree" -type f -exec cat {} + >/dev/null

# Every writer makes a new file (no old image to delete).
PREP="rm -f '$out'"
k_pack=$(timed "$CLI" pack "$tree" "$out" --to ext2)
check "$out"
blocks=$(dumpe2fs -h "$out" 2>/dev/null | awk -F: '/^Block count/ {gsub(/ /, "", $2); print $2}')
inodes=$(dumpe2fs -h "$out" 2>/dev/null | awk -F: '/^Inode count/ {gsub(/ /, "", $2); print $2}')
objects=$(find "$tree" -mindepth 1 | wc -l)
# The peers lay out more metadata (resize inode, reserved descriptor blocks):
# give them a tenth more room than Korvane's image needed.
peer_blocks=$((blocks * 11 / 10))

PREP="rm -f '$peer'"
m_pack=$(timed mke2fs -q -F -t ext2 -b 1024 -N "$inodes" -d "$tree" "$peer" "$peer_blocks")
check "$peer"
g_pack=$(timed genext2fs -B 1024 -b "$peer_blocks" -N "$inodes" -d "$tree" "$peer")
check "$peer"
PREP="rm -f '$out'"
k_conv=$(timed "$CLI" convert "$yaffs" "$out" --to ext3)
check "$out"
conv_blocks=$(dumpe2fs -h "$out" 2>/dev/null | awk -F: '/^Block count/ {gsub(/ /, "", $2); print $2}')
conv_blocks=$((conv_blocks * 11 / 10))
peer_convert() {
    rm -rf "$unpacked" && mkdir -p "$unpacked"
    unyaffs "$yaffs" "$unpacked" && mke2fs -q -F -t ext3 -b 1024 -N "$inodes" -d "$unpacked" "$peer" "$conv_blocks"
}
PREP="rm -f '$peer'"
p_conv=$(timed peer_convert)
check "$peer"
# ext4: the peer gets the block and inode counts of Korvane's image (mke2fs
# sizes its own layout, journal and resize reserve within them).
PREP="rm -f '$out'"
k_pack4=$(timed "$CLI" pack "$tree" "$out" --to ext4)
check "$out"
blocks4=$(dumpe2fs -h "$out" 2>/dev/null | awk -F: '/^Block count/ {gsub(/ /, "", $2); print $2}')
inodes4=$(dumpe2fs -h "$out" 2>/dev/null | awk -F: '/^Inode count/ {gsub(/ /, "", $2); print $2}')
peer_blocks4=$((blocks4 * 11 / 10))
PREP="rm -f '$peer'"
m_pack4=$(timed mke2fs -q -F -t ext4 -b 4096 -N "$inodes4" -d "$tree" "$peer" "$peer_blocks4")
check "$peer"
PREP="rm -f '$out'"
k_sparse=$(timed "$CLI" pack "$tree" "$out" --to ext4 --sparse)
simg2img "$out" "$out.raw" && check "$out.raw" && rm -f "$out.raw"
peer_sparse() {
    mke2fs -q -F -t ext4 -b 4096 -N "$inodes4" -d "$tree" "$peer" "$peer_blocks4" &&
        img2simg "$peer" "$peer.simg"
}
PREP="rm -f '$peer' '$peer.simg'"
m_sparse=$(timed peer_sparse)
rm -f "$peer.simg"

big=$(yaffs2_bench_image)
cat "$big" >/dev/null
PREP="rm -f '$out'"
k_big=$(timed "$CLI" convert "$big" "$out" --to ext3)
check "$out"
big_objects=$("$CLI" ls -R "$big" | wc -l)
PREP=""
rm -rf "$unpacked" "$peer" "$out"

cat <<EOF
EXT write: $objects objects, $((bytes >> 20)) MiB of contents; images of $blocks (EXT2) and $conv_blocks (EXT3) 1 KiB blocks, $inodes inodes
(best of $runs runs, each after a sync)

  pack to EXT2
    korvane-cli pack --to ext2        $k_pack s
    mke2fs -t ext2 -b 1024 -d         $m_pack s   ratio $(ratio "$k_pack" "$m_pack")
    genext2fs -B 1024 -d              $g_pack s   ratio $(ratio "$k_pack" "$g_pack")
  YAFFS2 to EXT3
    korvane-cli convert --to ext3     $k_conv s
    unyaffs + mke2fs -t ext3 -d       $p_conv s   ratio $(ratio "$k_conv" "$p_conv")
  the 256 MiB YAFFS2 benchmark image ($big_objects objects) to EXT3
    korvane-cli convert --to ext3     $k_big s
  pack to ext4 ($blocks4 4 KiB blocks, $inodes4 inodes)
    korvane-cli pack --to ext4        $k_pack4 s
    mke2fs -t ext4 -d                 $m_pack4 s   ratio $(ratio "$k_pack4" "$m_pack4")
  pack to an Android sparse ext4 image
    korvane-cli pack --to ext4 --sparse  $k_sparse s
    mke2fs -t ext4 -d + img2simg      $m_sparse s   ratio $(ratio "$k_sparse" "$m_sparse")
EOF
