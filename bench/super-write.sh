#!/usr/bin/env bash
# bench/super-write.sh: rewriting the sparse super image of
# bench/super-read.sh after a one-file edit in system_a, against writing
# system_a alone after the same edit:
#   - korvane-cli edit super.simg --part system_a -e 'touch /bench-edit' -o OUT
#   - korvane-cli edit system_a.img -e 'touch /bench-edit' -o OUT
# Target: the first at most 1.5 times the second.
# Usage: bench/super-write.sh   (env as bench/super-read.sh)
source "$(dirname "$0")/common.sh"

runs=${RUNS:-3}
work=$BENCH_DIR/super
if [[ ! -s $work/super.simg ]]; then
    "$(dirname "$0")/super-read.sh" >/dev/null
fi
build_release
cat "$work/super.simg" "$work/system_a.img" >/dev/null

SYNC=1
whole=$(best_of "$runs" "$CLI" edit "$work/super.simg" --part system_a -e 'touch /bench-edit' -o "$work/edited.simg")
alone=$(best_of "$runs" "$CLI" edit "$work/system_a.img" -e 'touch /bench-edit' -o "$work/edited-system.img")
rm -f "$work/edited.simg" "$work/edited-system.img"

cat <<EOT
rewrite the super image:  $whole s
write system_a alone:     $alone s
ratio:                    $(ratio "$whole" "$alone")
EOT
