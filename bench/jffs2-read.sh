#!/usr/bin/env bash
# Reading JFFS2: korvane-cli ls -R and extract of mkfs.jffs2's image of the
# 256 MiB / 20,000-file benchmark folder (time and peak memory), and the
# peak memory of reading images that claim more than they hold or hold
# nodes by the million: a node whose inode claims a 4 GiB file; 64 MiB of
# the smallest nodes (half of them one-byte pieces of one file, half a name
# written over and over). Target: every peak under 100 MiB above the tree.
# Usage: bench/jffs2-read.sh
source "$(dirname "$0")/common.sh"
build_release
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-jffs2-XXXXXX")
trap 'rm -rf "$work"' EXIT

peak_kib() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}
mib() { printf '%.1f MiB' "$(echo "$1 / 1024" | bc -l)"; }

tree=$(bench_tree_dir)
img=$work/bench.jffs2
mkfs.jffs2 -r "$tree" -o "$img"
cat "$img" >/dev/null
printf 'JFFS2 read: %s MiB image of %s files\n' "$(($(stat -c %s "$img") >> 20))" \
    "$(find "$tree" -type f | wc -l)"
t=$(best_of 3 "$CLI" ls -R "$img")
printf '  ls -R                      %7.3f s  peak %s\n' "$t" "$(mib "$(peak_kib "$CLI" ls -R "$img")")"
PREP="rm -rf '$work/x'" t=$(PREP="rm -rf '$work/x'" best_of 3 "$CLI" extract "$img" -C "$work/x")
rm -rf "$work/x"
printf '  extract                    %7.3f s  peak %s\n' "$t" \
    "$(mib "$(peak_kib "$CLI" extract "$img" -C "$work/x")")"
rm -rf "$work/x"

# A file whose inode claims 4 GiB holding one page; 64 MiB of the smallest
# nodes: one-byte pieces of one file, then one name written again and again.
python3 - "$work" <<'PY'
import struct, sys, zlib
work = sys.argv[1]
def crc(b): return zlib.crc32(b, 0xFFFFFFFF) ^ 0xFFFFFFFF
def header(t, length):
    h = struct.pack('<HHI', 0x1985, t, length)
    return h + struct.pack('<I', crc(h))
def pad(b): return b + b'\xff' * (-len(b) % 4)
def dirent(pino, version, ino, name):
    h = header(0xE001, 40 + len(name)) + struct.pack('<IIIIBBH', pino, version, ino, 0, len(name), 8, 0)
    return pad(h + struct.pack('<I', crc(h)) + struct.pack('<I', crc(name)) + name)
def inode(ino, version, isize, offset=0, data=b''):
    h = header(0xE002, 68 + len(data)) + struct.pack('<IIIHHIIIIIIIBBH', ino, version, 0o100644, 0, 0,
        isize, 0, 0, 0, offset, len(data), len(data), 0, 0, 0)
    node_crc = crc(h)
    h += struct.pack('<I', crc(data) if data else 0)
    return pad(h + struct.pack('<I', node_crc) + data)
with open(work + '/claims.jffs2', 'wb') as f:
    f.write(dirent(1, 1, 2, b'huge') + inode(2, 1, 0xFFFFFFFF, 4096, b'x' * 4096))
with open(work + '/many.jffs2', 'wb') as f:
    half = 32 * 1024 * 1024
    f.write(dirent(1, 1, 2, b'pieces'))
    n = half // 72
    for k in range(n):
        f.write(inode(2, k + 1, n, k, b'p'))
    for k in range(half // 48):
        f.write(dirent(1, k + 2, 3, b'renamed'))
    f.write(inode(3, 1, 0))
PY
printf '  extract, a 4 GiB claim     peak %s\n' "$(mib "$(peak_kib "$CLI" extract "$work/claims.jffs2" -C "$work/c")")"
rm -rf "$work/c"
printf '  extract, 64 MiB of the smallest nodes   peak %s\n' "$(mib "$(peak_kib "$CLI" extract "$work/many.jffs2" -C "$work/m")")"
