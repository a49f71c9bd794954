#!/usr/bin/env bash
# Starts the demo window under a virtual X server and saves a picture of it and of each message-box kind, at 100%
# and at 200% scaling, so the look can be reviewed without a desktop.
# Usage: tools/screenshots.sh <output folder> [build folder, default: build]
set -euo pipefail
out=${1:?usage: tools/screenshots.sh <output folder> [build folder]}
build=${2:-build}
exe="$build/app/snapsave"
if [ ! -x "$exe" ]; then
  echo "no $exe: build it first with cmake --build $build --target snapsave" >&2
  exit 1
fi
for scale in 1 2; do
  dir="$out/$((scale * 100))"
  mkdir -p "$dir"
  xvfb-run -a -s "-screen 0 $((1280 * scale))x$((800 * scale))x24" \
    env QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" "$exe" --screenshots "$dir"
done
