#!/usr/bin/env bash
# Saves pictures of the program's windows under a virtual X server, at 100% and 200% scaling, so the look can be
# reviewed without a desktop: each message-box kind, the main window's pages (a fixture image scanned, a picture
# previewed, the menu), then each progress window half-way through scripted work (with its cancel question) and
# the recovery window's detail list.
# Usage: tools/screenshots.sh <output folder> [build folder, default: build]
set -euo pipefail
out=${1:?usage: tools/screenshots.sh <output folder> [build folder]}
build=${2:-build}
gallery="$build/tools/snapsave_window_gallery"
if [ ! -x "$gallery" ]; then
  echo "no $gallery: build it first with cmake --build $build --target snapsave snapsave_window_gallery" >&2
  exit 1
fi
for scale in 1 2; do
  dir="$out/$((scale * 100))"
  mkdir -p "$dir"
  screen="-screen 0 $((1280 * scale))x$((800 * scale))x24"
  xvfb-run -a -s "$screen" env QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" "$gallery" "$dir" "$build/app"
done
