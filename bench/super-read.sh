#!/usr/bin/env bash
# bench/super-read.sh: a 4 GiB sparse super image (system_a: 1 GiB ext4 of
# a generated tree, vendor_a: 512 MiB ext4, the rest free) listed, and its
# system_a extracted, by korvane-cli and by 7-Zip (7zz), on a warm page
# cache; peak memory of each (GNU time's maximum resident size).
#   - korvane-cli ls IMAGE / 7zz l IMAGE
#   - korvane-cli extract IMAGE system_a / 7zz x IMAGE system_a.*
# Target: Korvane at most 0.7 of 7zz's time, under 100 MiB of memory.
# Usage: bench/super-read.sh   (env: DEVICE (4G), SYSTEM (1G), VENDOR (512M), BYTES, RUNS)
source "$(dirname "$0")/common.sh"

device=${DEVICE:-4G}
system=${SYSTEM:-1G}
vendor=${VENDOR:-512M}
bytes=${BYTES:-700000000}
runs=${RUNS:-3}
for tool in mke2fs 7zz; do
    command -v "$tool" >/dev/null || { echo "bench/super-read.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done
build_release

work=$BENCH_DIR/super
image=$work/super.simg
stamp="$device $system $vendor $bytes"
mkdir -p "$work"
if [[ ! -s $image || "$(cat "$work/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== making the partitions and the super image" >&2
    rm -rf "$work"/*
    "$GEN" --tree-dir "$work/tree" --files 20000 --bytes "$bytes" --seed 5 >&2
    mke2fs -q -F -t ext4 -d "$work/tree" "$work/system_a.img" "$system"
    mkdir -p "$work/empty"
    mke2fs -q -F -t ext4 -d "$work/empty" "$work/vendor_a.img" "$vendor"
    rm -rf "$work/tree"
    "$CLI" pack-super -o "$image" --sparse --device-size "$device" --group main:"$device" \
        --partition system_a:readonly:auto:main --partition vendor_a:readonly:auto:main \
        --partition system_b:readonly:0:main --partition vendor_b:readonly:0:main \
        --image system_a="$work/system_a.img" --image vendor_a="$work/vendor_a.img"
    echo "$stamp" >"$work/stamp"
fi
cat "$image" >/dev/null

peer_name=$(7zz l "$image" | awk '/system_a\./ { print $NF }')
ls_k=$(best_of "$runs" "$CLI" ls "$image")
ls_7=$(best_of "$runs" 7zz l "$image")
PREP="rm -rf '$work/out'"
x_k=$(best_of "$runs" "$CLI" extract "$image" system_a -C "$work/out")
x_7=$(best_of "$runs" 7zz x -y "$image" "$peer_name" -o"$work/out")
mem() { /usr/bin/time -f "%M" "$@" 2>&1 >/dev/null | tail -1; }
rm -rf "$work/out"
mem_k=$(mem "$CLI" extract "$image" system_a -C "$work/out")
rm -rf "$work/out"
mem_7=$(mem 7zz x -y "$image" "$peer_name" -o"$work/out")
rm -rf "$work/out"

cat <<EOT
super image: $device device, system_a $system, vendor_a $vendor ($(stat -c %s "$image") bytes sparse)
list:              korvane $ls_k s   7zz $ls_7 s   ratio $(ratio "$ls_k" "$ls_7")
extract system_a:  korvane $x_k s   7zz $x_7 s   ratio $(ratio "$x_k" "$x_7")
peak memory (KiB): korvane $mem_k   7zz $mem_7
EOT
