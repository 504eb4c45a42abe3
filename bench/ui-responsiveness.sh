#!/usr/bin/env bash
# Responsiveness of the desktop app on the 256 MiB / 50,000-object YAFFS2
# image (offscreen platform): time until the root listing shows, and the
# longest stall of the event loop while it scans, extracts everything and
# saves as YAFFS2; the search of the whole image by name; then a folder of
# 20,000 entries in both views and filtered as a name is typed; a 2 GiB file
# in the hex view.
source "$(dirname "$0")/common.sh"
build_release
cmake --build "$BUILD" --target korvane-ui-bench >/dev/null
img=$(yaffs2_bench_image)
cat "$img" >/dev/null
echo "Desktop app responsiveness: $(basename "$img") ($(($(stat -c %s "$img") >> 20)) MiB)"
QT_QPA_PLATFORM=offscreen "$BUILD/bench/korvane-ui-bench" "$img" "$BENCH_DIR/ui" --wide 20000
