#!/usr/bin/env bash
# bench/ext4-read.sh: opening and reading a 1 GiB ext4 image of 50,000 files,
# as it stands and as an Android sparse image (img2simg), on a warm page cache:
#   - korvane-cli ls -R IMAGE            open and list every object
#   - korvane-cli ls -R IMAGE.simg       the same through the sparse chunk map
#   - debugfs ls -p of every folder      the e2fsprogs peer listing the same tree
#   - simg2img + korvane-cli ls -R       expanding the sparse image first
#   - korvane-cli info --read-all        reading every file (GB/s), plain and sparse
# Usage: bench/ext4-read.sh   (env: FILES, BYTES, RUNS)
source "$(dirname "$0")/common.sh"

files=${FILES:-50000}
bytes=${BYTES:-700000000}
runs=${RUNS:-3}
for tool in mke2fs debugfs img2simg simg2img; do
    command -v "$tool" >/dev/null || { echo "bench/ext4-read.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done
build_release

work=$BENCH_DIR/ext4
tree=$work/tree
image=$work/ext4.img
sparse=$work/ext4.simg
stamp="$files $bytes"
mkdir -p "$work"
if [[ ! -s $sparse || "$(cat "$work/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== writing a tree of $files files ($bytes bytes)" >&2
    rm -rf "$tree" "$image" "$sparse"
    "$GEN" --tree-dir "$tree" --files "$files" --bytes "$bytes" --seed 3 >&2
    mke2fs -q -F -t ext4 -N $((files * 2)) -d "$tree" "$image" 1G
    img2simg "$image" "$sparse"
    rm -rf "$tree"
    echo "$stamp" >"$work/stamp"
fi
cat "$image" "$sparse" >/dev/null

# debugfs has no recursive listing: give it one "ls -p" per folder (the
# command file is made untimed, from our own listing).
"$CLI" ls -lR "$image" | awk '$1 ~ /^d/ { print "ls -p \"" $NF "\"" }' >"$work/debugfs.cmds"
echo 'ls -p "/"' >>"$work/debugfs.cmds"

# CPU seconds (user + system) of one run: on a shared, busy machine wall time
# also counts the waiting.
cpu_of() { /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -1 | awk '{ printf "%.3f", $1 + $2 }'; }

objects=$("$CLI" ls -R "$image" | wc -l)
folders=$(wc -l <"$work/debugfs.cmds")
ls_plain=$(best_of "$runs" "$CLI" ls -R "$image")
ls_sparse=$(best_of "$runs" "$CLI" ls -R "$sparse")
cpu_plain=$(cpu_of "$CLI" ls -R "$image")
cpu_sparse=$(cpu_of "$CLI" ls -R "$sparse")
cpu_debugfs=$(cpu_of debugfs -f "$work/debugfs.cmds" "$image")
ls_debugfs=$(best_of "$runs" debugfs -f "$work/debugfs.cmds" "$image")
expand() { simg2img "$sparse" "$work/expanded.img" && "$CLI" ls -R "$work/expanded.img"; }
ls_expand=$(best_of "$runs" expand)
rm -f "$work/expanded.img"
read_plain=$("$CLI" info --read-all "$image" | sed -n 's/^read: *//p')
read_sparse=$("$CLI" info --read-all "$sparse" | sed -n 's/^read: *//p')

cat <<EOT

ext4 image: $(($(stat -c %s "$image") / 1048576)) MiB (sparse image $(($(stat -c %s "$sparse") / 1048576)) MiB), ${objects} objects below the root in ${folders} folders
(best of $runs runs, warm page cache; CPU seconds of one run in brackets; load average $(cut -d' ' -f1 /proc/loadavg))

  korvane-cli ls -R (open + list), plain       ${ls_plain} s (${cpu_plain} s)
  korvane-cli ls -R (open + list), sparse      ${ls_sparse} s (${cpu_sparse} s)
  debugfs ls -p of every folder                ${ls_debugfs} s (${cpu_debugfs} s)
  simg2img + korvane-cli ls -R                 ${ls_expand} s
  read every file, plain                       ${read_plain}
  read every file, sparse                      ${read_sparse}
EOT
