#!/usr/bin/env bash
# bench/ext4-shared-xattrs.sh: opening a 64 MiB ext4 image whose 20,000 files
# share one attribute block, which names 15 attributes of 4 KiB kept in inodes
# of their own (ea_inode): the set is decoded once, not once per file.
# Target: korvane-cli ls -R in under 1 s and 100 MiB.
# Usage: bench/ext4-shared-xattrs.sh   (env: FILES, RUNS, KORVANE_CLI)
source "$(dirname "$0")/common.sh"

files=${FILES:-20000}
runs=${RUNS:-3}
for tool in mke2fs debugfs; do
    command -v "$tool" >/dev/null || { echo "bench/ext4-shared-xattrs.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done
# KORVANE_CLI: measure that build instead of a fresh release build.
if [[ -n ${KORVANE_CLI:-} ]]; then CLI=$KORVANE_CLI; else build_release; fi

work=$BENCH_DIR/shared-xattrs
image=$work/shared.img
mkdir -p "$work"
if [[ ! -s $image || "$(cat "$work/stamp" 2>/dev/null)" != "$files" ]]; then
    echo "== writing $files files that share one attribute block" >&2
    rm -rf "$work/src" "$image"
    mkdir -p "$work/src"
    python3 - "$work/src" "$files" <<'PY'
import os, sys
for i in range(int(sys.argv[2])):
    open(os.path.join(sys.argv[1], "f%06d" % i), "w").close()
PY
    mke2fs -q -F -t ext4 -O ea_inode -b 4096 -I 128 -N $((files + 1000)) -d "$work/src" "$image" 64M
    # The first file gets the attributes (each value in an inode of its own,
    # the entries in its attribute block); every other file names that block.
    for k in $(seq 1 15); do
        head -c 3072 /dev/urandom | base64 -w0 >"$work/v$k" # 4096 bytes
        echo "ea_set -f $work/v$k /f000000 user.big$k"
    done >"$work/set.cmds"
    debugfs -w -f "$work/set.cmds" "$image" >/dev/null 2>&1
    acl=$(debugfs -R 'stat /f000000' "$image" 2>/dev/null | awk '/File ACL:/ { print $3 }')
    for ((i = 1; i < files; i++)); do printf 'sif /f%06d file_acl %s\n' "$i" "$acl"; done >"$work/share.cmds"
    debugfs -w -f "$work/share.cmds" "$image" >/dev/null 2>&1
    rm -rf "$work/src" "$work"/*.cmds "$work"/v*
    echo "$files" >"$work/stamp"
fi

peak_kib() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}

t=$(best_of "$runs" "$CLI" ls -R "$image")
kib=$(peak_kib "$CLI" ls -R "$image")
printf '%-48s %8s s %8.1f MiB\n' "korvane-cli ls -R, $files files, one shared block" "$t" \
    "$(echo "$kib / 1024" | bc -l)"
