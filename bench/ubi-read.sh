#!/usr/bin/env bash
# bench/ubi-read.sh: a 512 MiB UBI image (ubinize) of a UBIFS volume
# (mkfs.ubifs, LZO) holding 50,000 files, on a warm page cache:
#   - korvane-cli ls -R IMAGE --part rootfs   open UBI, then UBIFS, list every object
#   - the same for a raw NAND dump of the image (2048+64 pages, MTD Hamming
#     ECC checked on every page while opening)
#   - korvane-cli extract --part rootfs      extraction speed (MB/s of file bytes)
#   - korvane-cli info --read-all            reading every file without writing
#   - peak memory of listing and extracting, and of extracting images that
#     claim more than they hold (a UBIFS file claiming 64 GiB, a UBI volume
#     reserving 500,000 LEBs)
# Targets: list in under 1 s, extract at 200 MB/s or more, every peak under
# 100 MiB above the tree.
# Usage: bench/ubi-read.sh   (env: FILES, BYTES, RUNS, BENCH_DIR, KORVANE_BUILD)
source "$(dirname "$0")/common.sh"

files=${FILES:-50000}
bytes=${BYTES:-760000000}
runs=${RUNS:-3}
for tool in mkfs.ubifs ubinize; do
    command -v "$tool" >/dev/null || { echo "bench/ubi-read.sh: $tool is missing (run scripts/deps)" >&2; exit 1; }
done
# KORVANE_BUILD names a build folder to use as it is; otherwise a Release
# build of the two programs is made in build-release.
if [[ -n ${KORVANE_BUILD:-} ]]; then
    BUILD=$(cd "$KORVANE_BUILD" && pwd)
    CLI=$BUILD/src/cli/korvane-cli
else
    "$ROOT/scripts/deps"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_SANITIZE=OFF -DKORVANE_TESTS=OFF >/dev/null
    cmake --build "$BUILD" -j 2 --target korvane-cli korvane-ubi-bench >/dev/null
fi
TOOL=$BUILD/bench/korvane-ubi-bench

work=$BENCH_DIR/ubi
tree=$work/tree
image=$work/ubi.img
dump=$work/ubi.nand
stamp="$files $bytes"
mkdir -p "$work"
if [[ ! -s $dump || "$(cat "$work/stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "== writing a tree of $files files ($bytes bytes)" >&2
    rm -rf "$tree" "$image" "$dump"
    "$TOOL" tree "$tree" --files "$files" --bytes "$bytes" --seed 5 >&2
    mkfs.ubifs -r "$tree" -m 2048 -e 126976 -c 8000 -x lzo -o "$work/rootfs.ubifs"
    printf '[rootfs]\nmode=ubi\nimage=%s\nvol_id=0\nvol_type=dynamic\nvol_name=rootfs\nvol_flags=autoresize\n' \
        "$work/rootfs.ubifs" >"$work/ubinize.ini"
    ubinize -o "$image" -p 128KiB -m 2048 -s 512 "$work/ubinize.ini"
    "$TOOL" nand "$image" "$dump"
    rm -f "$work/rootfs.ubifs"
    echo "$stamp" >"$work/stamp"
fi
cat "$image" "$dump" >/dev/null
content=$(du -sb --apparent-size "$tree" | cut -f1)

cpu_of() { /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -1 | awk '{ printf "%.3f", $1 + $2 }'; }
peak_kib() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}
mib() { printf '%.1f MiB' "$(echo "$1 / 1024" | bc -l)"; }

objects=$("$CLI" ls -R "$image" --part rootfs | wc -l)
ls_plain=$(best_of "$runs" "$CLI" ls -R "$image" --part rootfs)
cpu_plain=$(cpu_of "$CLI" ls -R "$image" --part rootfs)
ls_nand=$(best_of "$runs" "$CLI" ls -R "$dump" --part rootfs)
cpu_nand=$(cpu_of "$CLI" ls -R "$dump" --part rootfs)
out=$work/out
t_extract=$(PREP="rm -rf $out" SYNC=1 best_of 1 "$CLI" extract "$image" --part rootfs -C "$out")
rate=$(echo "$content / $t_extract / 1000000" | bc -l)
# The tree's links dangle on purpose: compare them as links.
same=$(diff -r --no-dereference "$tree" "$out" >/dev/null && echo "identical to the source folder" || echo "DIFFERS from the source folder")
rm -rf "$out"
cpu_extract=$(cpu_of "$CLI" extract "$image" --part rootfs -C "$out")
rm -rf "$out"
t_cp=$(PREP="rm -rf $out" SYNC=1 best_of 1 cp -a "$tree" "$out")
rm -rf "$out"
read_all=$("$CLI" info --read-all "$image" --part rootfs | sed -n 's/^read: *//p')
cpu_read=$(cpu_of "$CLI" info --read-all "$image" --part rootfs)
peak_ls=$(peak_kib "$CLI" ls -R "$image" --part rootfs)
peak_extract=$(peak_kib "$CLI" extract "$image" --part rootfs -C "$out")
rm -rf "$out"

# Images that claim more than they hold.
small=$work/small
rm -rf "$small" && mkdir -p "$small/src"
printf 'small\n' >"$small/src/a"
mkfs.ubifs -r "$small/src" -m 2048 -e 126976 -c 100 -x lzo -o "$small/fs.ubifs"
"$TOOL" claim "$small/fs.ubifs" "$small/claims.ubifs"
peak_claim=$(peak_kib "$CLI" extract "$small/claims.ubifs" -C "$small/o1")
printf '[v]\nmode=ubi\nimage=%s\nvol_id=0\nvol_type=dynamic\nvol_name=v\n' "$small/fs.ubifs" >"$small/u.ini"
ubinize -o "$small/u.img" -p 128KiB -m 2048 -s 512 "$small/u.ini"
"$TOOL" reserve "$small/u.img" "$small/reserve.img"
peak_reserve=$(peak_kib "$CLI" extract "$small/reserve.img" -C "$small/o2")
rm -rf "$small"

cat <<EOT

UBI image: $(($(stat -c %s "$image") / 1048576)) MiB, NAND dump $(($(stat -c %s "$dump") / 1048576)) MiB, ${objects} objects, $((content / 1000000)) MB of file contents
(best of $runs runs, warm page cache; CPU seconds of one run in brackets; load average $(cut -d' ' -f1 /proc/loadavg))

  korvane-cli ls -R --part rootfs (open + list), UBI      ${ls_plain} s (${cpu_plain} s)
  korvane-cli ls -R --part rootfs, raw NAND dump with ECC ${ls_nand} s (${cpu_nand} s)
  korvane-cli extract --part rootfs                       ${t_extract} s (${cpu_extract} s), $(printf '%.0f' "$rate") MB/s, ${same}
  cp -a of the source folder (the same files written)     ${t_cp} s
  read every file (info --read-all)                       ${read_all} (${cpu_read} s)
  peak memory: ls -R                                      $(mib "$peak_ls")
  peak memory: extract                                    $(mib "$peak_extract")
  peak memory: extract, a file claiming 64 GiB            $(mib "$peak_claim")
  peak memory: extract, a volume reserving 500,000 LEBs   $(mib "$peak_reserve")
EOT
