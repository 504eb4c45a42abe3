#!/usr/bin/env bash
# Thumbnails in the desktop app (offscreen platform): a folder of 2,000
# pictures of about a megapixel, half JPEG, half PNG, made by the benchmark.
# Reports the time to the first thumbnail, thumbnails per second, the longest
# stall of the event loop and the memory the thumbnails take.
source "$(dirname "$0")/common.sh"
build_release
cmake --build "$BUILD" --target korvane-thumb-bench >/dev/null
QT_QPA_PLATFORM=offscreen "$BUILD/bench/korvane-thumb-bench" "$BENCH_DIR/thumbs" --count 2000
