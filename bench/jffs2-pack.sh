#!/usr/bin/env bash
# Writing JFFS2: korvane-cli pack against mkfs.jffs2 with the same defaults
# (64 KiB erase blocks, cleanmarkers, zlib) on two folders: text that
# compresses (a copy of /usr/include and /usr/share/doc, about 300 MiB) and
# the 256 MiB / 20,000-file benchmark folder of data that does not. Target:
# pack takes at most half of mkfs.jffs2's time. Each write after a sync, best
# of three; the CPU seconds of the best run are given too (the machine may be
# shared).
# Usage: bench/jffs2-pack.sh
source "$(dirname "$0")/common.sh"
build_release
out=$BENCH_DIR/out.jffs2

text=$BENCH_DIR/text-tree
if [[ ! -d $text ]]; then
    mkdir -p "$text"
    cp -a /usr/include "$text/include"
    cp -a /usr/share/doc "$text/doc"
fi
tree=$(bench_tree_dir)

# cpu_of CMD...: the user and system seconds CMD takes.
cpu_of() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{r.ru_utime + r.ru_stime:.2f}")
PY
}

for dir in "$text" "$tree"; do
    bytes=$(du -sb "$dir" | cut -f1)
    find "$dir" -type f -exec cat {} + >/dev/null
    printf 'JFFS2 pack: %s, %s MiB, %s files\n' "$(basename "$dir")" "$((bytes >> 20))" \
        "$(find "$dir" -type f | wc -l)"
    m=$(SYNC=1 best_of 3 mkfs.jffs2 -r "$dir" -o "$out")
    mc=$(cpu_of mkfs.jffs2 -r "$dir" -o "$out")
    ms=$(stat -c %s "$out")
    k=$(SYNC=1 best_of 3 "$CLI" pack "$dir" "$out" --to jffs2)
    kc=$(cpu_of "$CLI" pack "$dir" "$out" --to jffs2)
    ks=$(stat -c %s "$out")
    printf '  mkfs.jffs2                 %7.3f s  %6s s CPU  %s bytes\n' "$m" "$mc" "$ms"
    printf '  korvane-cli pack           %7.3f s  %6s s CPU  %s bytes  ratio %s\n' "$k" "$kc" \
        "$ks" "$(ratio "$k" "$m")"
done
rm -f "$out"
