#!/usr/bin/env bash
# Work and memory per object on trees of many objects, each command timed
# and its peak resident size taken:
#   - 1,000,000 empty files in 1,000 folders (an ext4 image made by
#     mke2fs -d; YAFFS2 tags hold 18-bit object ids, so no YAFFS2 image holds
#     that many): ls of the root, ls -lR --json, extract, extract --tar and
#     convert to ext4;
#   - 130,607 empty folders, 10 to a folder (YAFFS2): ls of the root and
#     ls -lR --json;
#   - 21,845 folders nested in one another, 2-byte names (YAFFS2): ls -R,
#     ls -lR --json and extract --tar, whose output grows with the square of
#     the depth (716 MB of paths);
#   - a device table line with a count of 65,536, and an edit script of
#     40,000 commands (mknod and touch, then every other node removed).
# Targets: ls -lR --json of the million objects in under 3 s and 400 MiB;
# their convert to ext4 under 400 MiB.
# Usage: TMPDIR=/dev/shm bench/object-scale.sh   (about 2 GB in TMPDIR)
source "$(dirname "$0")/common.sh"
build_release
cmake --build "$BUILD" -j 2 --target korvane-hostile >/dev/null
HOSTILE=$BUILD/bench/korvane-hostile
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-scale-XXXXXX")
trap 'rm -rf "$work"' EXIT

# measure CMD...: "SECONDS PEAK_MIB" of one run, output discarded.
measure() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
t = time.monotonic() - t
print("%.2f %.1f" % (t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024))
PY
}
row() { printf '  %-46s %8s s %8s MiB\n' "$1" $2; }

m1=$BENCH_DIR/million.ext4
if [[ ! -s $m1 ]]; then
    python3 - "$work/tree" <<'PY'
import os, sys
top = sys.argv[1]
for d in range(1000):
    p = "%s/d%07d" % (top, d)
    os.makedirs(p)
    for f in range(1000):
        os.close(os.open("%s/f%07d" % (p, d * 1000 + f), os.O_CREAT | os.O_WRONLY, 0o644))
PY
    mke2fs -q -F -t ext4 -N 1100000 -d "$work/tree" "$m1" 1200M
    rm -rf "$work/tree"
fi
cat "$m1" >/dev/null
echo "1,000,001 objects (ext4, $(($(stat -c %s "$m1") >> 20)) MiB):"
row "ls (the root)" "$(measure "$CLI" ls "$m1")"
row "ls -lR --json" "$(measure "$CLI" ls -lR --json "$m1")"
row "extract" "$(measure "$CLI" extract "$m1" -C "$work/x")"
rm -rf "$work/x"
row "extract --tar" "$(measure "$CLI" extract "$m1" --tar "$work/t.tar")"
rm -f "$work/t.tar"
row "convert --to ext4 --size auto" "$(measure "$CLI" convert "$m1" "$work/c.ext4" --size auto)"
rm -f "$work/c.ext4"

"$GEN" --out "$work/folders.yaffs2" --folders 130607 --per-folder 10 >/dev/null
echo "130,608 folders (YAFFS2):"
row "ls (the root)" "$(measure "$CLI" ls "$work/folders.yaffs2")"
row "ls -lR --json" "$(measure "$CLI" ls -lR --json "$work/folders.yaffs2")"

"$HOSTILE" --out "$work/nested.yaffs2" --nested 21845 --name-bytes 2
echo "21,845 nested folders (YAFFS2):"
row "ls -R" "$(measure "$CLI" ls -R "$work/nested.yaffs2")"
row "ls -lR --json" "$(measure "$CLI" ls -lR --json "$work/nested.yaffs2")"
row "extract --tar" "$(measure "$CLI" extract "$work/nested.yaffs2" --tar "$work/n.tar")"
rm -f "$work/n.tar"

mkdir -p "$work/empty"
printf '/dev d 755 0 0\n/dev/tty c 660 0 5 4 0 0 1 65536\n' >"$work/table"
echo "runs of edits:"
row "pack --devtable (a count of 65,536)" \
    "$(measure "$CLI" pack "$work/empty" "$work/dev.ext4" --to ext4 --devtable "$work/table")"
python3 -c '
for i in range(20000): print("mknod /dev/x%d c 1 %d; touch /f%d" % (i, i, i))
for i in range(0, 20000, 2): print("rm /dev/x%d" % i)' >"$work/script"
row "edit -f (40,000 commands, 10,000 removals)" \
    "$(measure "$CLI" edit "$work/dev.ext4" -o "$work/edited.ext4" -f "$work/script")"
