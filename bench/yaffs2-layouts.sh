#!/usr/bin/env bash
# YAFFS2 layouts: the benchmark image rewritten as 4096+128 (and as 4096+128
# with the YAFFS data ECC, which opening checks on every page), listed with
# korvane-cli ls -R against unyaffs -t; and the time layout detection adds to
# opening, on these images and on a file of random bytes that it refuses.
source "$(dirname "$0")/common.sh"
build_release
img=$(yaffs2_bench_image)
big=$BENCH_DIR/bench-4096.yaffs2
ecc=$BENCH_DIR/bench-4096-ecc.yaffs2
[[ -s $big ]] || "$CLI" convert "$img" "$big" --to yaffs2 --out-page-size 4096 --out-spare-size 128 >/dev/null
[[ -s $ecc ]] || "$CLI" convert "$img" "$ecc" --to yaffs2 --out-page-size 4096 --out-spare-size 128 --ecc yaffs >/dev/null
random=$BENCH_DIR/random.bin
[[ -s $random ]] || head -c 500000 /dev/urandom >"$random"
cat "$big" "$ecc" >/dev/null

printf 'YAFFS2 4096+128: %s MiB, %s objects\n' "$(($(stat -c %s "$big") >> 20))" \
    "$("$CLI" ls -R "$big" | wc -l)"
k=$(best_of 5 "$CLI" ls -R "$big")
u=$(best_of 5 unyaffs -t -c 4 -s 128 "$big")
e=$(best_of 5 "$CLI" ls -R "$ecc")
printf '  korvane-cli ls -R            %6.3f s\n' "$k"
printf '  unyaffs -t -c 4 -s 128       %6.3f s\n' "$u"
printf '  ratio korvane/unyaffs: %s\n' "$(ratio "$k" "$u")"
printf '  ls -R with the data ECC checked on every page  %6.3f s\n' "$e"

DETECT=$BUILD/bench/korvane-detect-bench
printf 'Layout detection (best of 20):\n'
for f in "$img" "$big" "$ecc" "$random"; do
    printf '  %-22s %s\n' "$(basename "$f")" "$("$DETECT" "$f" 20)"
done
