#!/usr/bin/env bash
# Failing and slow media, served by the tests' FUSE file system, beside GNU ddrescue and dd in the same run.
#   1. A 512 MiB card with four bad areas (32 sectors near the start, 1 MiB, 8 MiB, 64 sectors), seen as the
#      system shows a block device (a loop device over the failing file, read through the page cache), and
#      again served slowly (one request at a time, 40 MB/s): snapsave-cli image against ddrescue -d, rescued
#      bytes, failing reads served and time.
#   2. The deep scan of a healthy 512 MiB card on a bandwidth-limited device (40 MB/s, one request at a
#      time) and on a high-latency one (10 ms a request, several served at once), against
#      dd bs=4M iflag=direct of the same device.
#   bench/failing_disk_bench.sh path/to/snapsave-cli path/to/bad_sectors_fs [work folder]
# Needs root (FUSE, loop devices), fuse3, gddrescue, python3.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 snapsave-cli bad_sectors_fs [work folder]}")
fsbin=$(realpath "${2:?usage: $0 snapsave-cli bad_sectors_fs [work folder]}")
work=${3:-/tmp/snapsave-failing-bench}
mkdir -p "$work/mnt"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
[ -e card.img ] || head -c $((512 << 20)) /dev/urandom >card.img
bad="40-71,200000-202047,400000-416383,900000-900063"
fspid=
loop=
mount_fs() {  # options...
  "$fsbin" card.img mnt "$@" &
  fspid=$!
  for _ in $(seq 50); do [ -e mnt/disk.img ] && break; sleep 0.1; done
}
unmount_fs() {
  [ -z "$loop" ] || losetup -d "$loop"
  loop=
  fusermount3 -u mnt 2>/dev/null || true
  wait "$fspid" 2>/dev/null || true
}
trap unmount_fs EXIT
seconds() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.2f}')" "$1" "$2"; }
stat_of() { awk -v k="$1" '$1 == k { print $2 }' mnt/stats; }
rescued() { ddrescuelog -t "$1" | awk '/rescued:/ { print $2, $3 }'; }

copy() {  # label, device kind (loop|file), fs options
  local label=$1 kind=$2
  shift 2
  for tool in ddrescue snapsave; do
    rm -f out.img out.img.map out.map
    mount_fs "$@"
    local dev=mnt/disk.img
    if [ "$kind" = loop ]; then
      loop=$(losetup -r -f --show mnt/disk.img)
      dev=$loop
    fi
    local t0 t1 map
    t0=$(date +%s.%N)
    if [ "$tool" = ddrescue ]; then
      ddrescue -d -q "$dev" out.img out.map >/dev/null 2>&1 || true
      map=out.map
    else
      "$cli" image "$dev" out.img >/dev/null 2>&1 || true
      map=out.img.map
    fi
    t1=$(date +%s.%N)
    printf '  %-28s %-9s rescued %-12s failing reads %7s  %6s s\n' "$label" "$tool" "$(rescued "$map")" \
      "$(stat_of failed)" "$(seconds "$t0" "$t1")"
    unmount_fs
  done
}

echo "rescue copies of a 512 MiB card with bad areas $bad"
copy "block device, page cache" loop "$bad" 0 0 --page-cache
copy "slow: 40 MB/s, one at a time" file "$bad" 0 40

echo "deep scan of a healthy 512 MiB card against dd bs=4M iflag=direct"
scan() {  # label, fs options
  local label=$1
  shift
  mount_fs "$@"
  local t0 t1 t2 dd scanned
  t0=$(date +%s.%N)
  dd if=mnt/disk.img of=/dev/null bs=4M iflag=direct status=none
  t1=$(date +%s.%N)
  rm -rf appdata
  "$cli" scan mnt/disk.img --fresh --list >/dev/null 2>&1 || true
  t2=$(date +%s.%N)
  dd=$(seconds "$t0" "$t1")
  scanned=$(seconds "$t1" "$t2")
  printf '  %-34s dd %6s s  snapsave %6s s  (%s %% of dd'"'"'s throughput)\n' "$label" "$dd" "$scanned" \
    "$(python3 -c "print(round(100 * $dd / $scanned))")"
  unmount_fs
}
scan "40 MB/s, one request at a time" - 0 40
scan "10 ms a request, several at once" - 10000 0 --parallel
