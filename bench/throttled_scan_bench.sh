#!/usr/bin/env bash
# The deep scan on slow media: a 1 GiB image of random data with media files in it, served through the tests'
# FUSE file system at a modelled speed (a 100 MB/s card, a 500 MB/s SSD), read by `cat` (the source's speed)
# and scanned by each snapsave-cli given (say, two builds to compare) in the same run; each scan's time as a
# fraction of the source's speed.
#   bench/throttled_scan_bench.sh path/to/bad_sectors_fs work-folder snapsave-cli [snapsave-cli ...]
# Needs root (FUSE), fuse3, python3.
set -euo pipefail
fsbin=$(realpath "${1:?usage: $0 bad_sectors_fs work-folder snapsave-cli...}")
work=${2:?work folder}
shift 2
mkdir -p "$work/mnt"
cd "$work"
if [ ! -e source.img ]; then
  head -c $((1 << 30)) /dev/urandom >source.img
fi
for rate in 100 500; do
  "$fsbin" source.img mnt - 0 "$rate" &
  fspid=$!
  for _ in $(seq 50); do [ -e mnt/disk.img ] && break; sleep 0.1; done
  t0=$(date +%s.%N)
  cat mnt/disk.img >/dev/null
  t1=$(date +%s.%N)
  source=$(python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$t0" "$t1")
  echo "modelled ${rate} MB/s: cat $(python3 -c "print(f'{$source:.2f}')") s"
  for cli in "$@"; do
    rm -rf appdata
    t0=$(date +%s.%N)
    XDG_DATA_HOME="$work/appdata" "$cli" scan mnt/disk.img --fresh --list >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    python3 -c "import sys; t = float(sys.argv[2]) - float(sys.argv[1]); s = float(sys.argv[3]); print(f'  {sys.argv[4]}: {t:.2f} s, {s / t * 100:.0f} % of the source speed')" "$t0" "$t1" "$source" "$cli"
  done
  fusermount3 -u mnt
  wait "$fspid" || true
done
