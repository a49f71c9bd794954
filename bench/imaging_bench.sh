#!/usr/bin/env bash
# Imaging a healthy 2 GiB source: snapsave-cli image (rescue passes with its map) beside dd and GNU ddrescue,
# each writing a fresh image from the same file in the same run; the page cache is dropped before each copy
# where the machine allows it (root), so that each reads from the disk.
#   bench/imaging_bench.sh path/to/snapsave-cli [work folder]   (default /tmp/snapsave-imaging-bench)
# Needs: coreutils, gddrescue.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
work=${2:-/tmp/snapsave-imaging-bench}
mkdir -p "$work"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
if [ ! -e source.img ]; then
  head -c $((2 << 30)) /dev/urandom >source.img
fi
drop() { sync; if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches; fi; }
timed() {  # label, command...
  local label=$1
  shift
  rm -f out.img out.img.map out.map
  drop
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  sync
  t1=$(date +%s.%N)
  cmp -s source.img out.img || { echo "$label: the copy differs from the source" >&2; exit 1; }
  python3 -c "import sys; t = float(sys.argv[2]) - float(sys.argv[1]); print(f'  {sys.argv[3]:10} {t:6.2f} s  {2048 / t:7.0f} MiB/s')" "$t0" "$t1" "$label"
}
echo "imaging 2 GiB ($( [ -w /proc/sys/vm/drop_caches ] && echo 'page cache dropped' || echo 'page cache kept'))"
timed dd dd if=source.img of=out.img bs=1M
timed ddrescue ddrescue -q source.img out.img out.map
timed snapsave "$cli" image source.img out.img
