#!/usr/bin/env bash
# Deleted files of a Btrfs volume, by snapsave-cli's quick scan (named, from the old leaves), its deep scan,
# btrfs restore and PhotoRec in the same run. A 512 MiB Btrfs volume is written by the kernel's driver (as
# root, on a loop device, zstd compression on) with the deep-scan benchmark's media files (real photos, camera
# photos and videos, PNGs and a WAV, all different) and text notes, synced, and every other file deleted, in
# four commits. btrfs restore is given each older tree root btrfs-find-root lists in turn; its best root is
# counted, with the time of all its tries. Counted: deleted files given back byte for byte, and of those under
# their own name and folder; time and peak memory.
#
#   bench/btrfs_deleted_bench.sh path/to/snapsave-cli [work folder]   (default /tmp/snapsave-btrfs-bench)
# Needs: what bench/deep_scan_bench.sh needs for its media (run it once first, or point the work folder at
# its own), btrfs-progs, testdisk (photorec), GNU time.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
work=${2:-/tmp/snapsave-btrfs-bench}
media=${MEDIA:-/tmp/snapsave-deep-bench/media}
mkdir -p "$work"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
rm -rf mnt quick deep photorec restore originals btrfs.img
truncate -s 512M btrfs.img
mkfs.btrfs -q -f btrfs.img 2>/dev/null
mkdir mnt
mount -o loop,compress=zstd btrfs.img mnt
trap 'mountpoint -q mnt && umount mnt' EXIT
mkdir -p mnt/DCIM mnt/VIDEO mnt/music mnt/notes
cp "$media"/camera/p*.jpg "$media"/photo*.jpg "$media"/pic*.png mnt/DCIM/
cp "$media"/camera/MVI_*.MP4 "$media"/clip*.mp4 mnt/VIDEO/
cp "$media"/tone.wav mnt/music/
for i in $(seq 1 40); do seq "$i" 7 $((i * 20000)) >"mnt/notes/note-$i.txt"; done
sync
sleep 1
(cd mnt && find . -type f | LC_ALL=C sort | awk 'NR % 2 == 1' | sed 's|^\./||') >deleted.txt
mkdir -p originals
n=0
while read -r f; do
  mkdir -p "originals/$(dirname "$f")"
  cp "mnt/$f" "originals/$f"
  rm "mnt/$f"
  n=$((n + 1))
  if [ $((n % 10)) -eq 0 ]; then sync; btrfs filesystem sync mnt; fi
done <deleted.txt
sync
umount mnt
total=$(wc -l <deleted.txt)

exact() {  # folder: how many deleted files it holds byte for byte, anywhere, and under their own path
  python3 - "$1" originals deleted.txt <<'PY'
import hashlib, os, sys
out, originals, listed = sys.argv[1:4]
def digest(p):
    return hashlib.sha256(open(p, "rb").read()).hexdigest()
got = {}
for root, _, files in os.walk(out):
    for f in files:
        p = os.path.join(root, f)
        got.setdefault(digest(p), set()).add(os.path.relpath(p, out))
anywhere = named = 0
for line in open(listed):
    f = line.strip()
    d = digest(os.path.join(originals, f))
    if d in got:
        anywhere += 1
        named += f in got[d]
print(anywhere, named)
PY
}
measure() { /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null 2>&1 || true; cat time.txt; }
read -r qs qk < <(measure "$cli" scan btrfs.img --quick --recover quick)
read -r qa qn < <(exact quick)
read -r ds dk < <(measure "$cli" scan btrfs.img --recover deep)
read -r da dn < <(exact deep)
mkdir photorec
read -r ps pk < <(measure photorec /log /d "$work/photorec/recup" /cmd btrfs.img options,paranoid,search)
read -r pa pn < <(exact photorec)
# btrfs restore from each older root, newest first; the best one counts, all tries are timed.
start=$(date +%s.%N)
ra=0 rn=0
for root in $(btrfs-find-root btrfs.img 2>&1 | sed -n 's/^Well block \([0-9]*\).*/\1/p' | head -16); do
  rm -rf restore
  mkdir restore
  btrfs restore -t "$root" -i btrfs.img restore >/dev/null 2>&1 || true
  read -r a n < <(exact restore)
  if [ "$n" -gt "$rn" ] || { [ "$n" -eq "$rn" ] && [ "$a" -gt "$ra" ]; }; then ra=$a rn=$n; fi
done
rs=$(echo "$(date +%s.%N) - $start" | bc -l)
echo "Btrfs, 512 MiB, $total files deleted in $(((total + 9) / 10)) commits"
printf '  %-26s %3s exact, %3s named   %6.2f s  peak %6.1f MiB\n' "snapsave-cli --quick" "$qa" "$qn" "$qs" "$(echo "$qk / 1024" | bc -l)"
printf '  %-26s %3s exact, %3s named   %6.2f s  peak %6.1f MiB\n' "snapsave-cli (deep)" "$da" "$dn" "$ds" "$(echo "$dk / 1024" | bc -l)"
printf '  %-26s %3s exact, %3s named   %6.2f s  (best of the older roots)\n' "btrfs restore -t ROOT" "$ra" "$rn" "$rs"
printf '  %-26s %3s exact, %3s named   %6.2f s  peak %6.1f MiB\n' "photorec /cmd" "$pa" "0" "$ps" "$(echo "$pk / 1024" | bc -l)"
