#!/usr/bin/env bash
# Deleted files of an XFS volume, by snapsave-cli's quick scan (named, through the log), its deep scan and
# PhotoRec in the same run. A 512 MiB XFS volume is written by the kernel's driver (as root, on a loop
# device) with the deep-scan benchmark's media files (real photos, camera photos and videos, PNGs and a WAV,
# all different), synced, and every other file deleted. Counted: deleted files given back byte for byte,
# and of those under their own name and folder; time and peak memory.
#
#   bench/xfs_deleted_bench.sh path/to/snapsave-cli [work folder]   (default /tmp/snapsave-xfs-bench)
# Needs: what bench/deep_scan_bench.sh needs for its media (run it once first, or point the work folder at
# its own), xfsprogs, testdisk (photorec), GNU time.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
work=${2:-/tmp/snapsave-xfs-bench}
media=${MEDIA:-/tmp/snapsave-deep-bench/media}
mkdir -p "$work"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
rm -rf mnt quick deep photorec originals xfs.img
truncate -s 512M xfs.img
mkfs.xfs -q -f xfs.img
mkdir mnt
mount -o loop xfs.img mnt
trap 'mountpoint -q mnt && umount mnt' EXIT
mkdir -p mnt/DCIM mnt/VIDEO mnt/music
cp "$media"/camera/p*.jpg "$media"/photo*.jpg "$media"/pic*.png mnt/DCIM/
cp "$media"/camera/MVI_*.MP4 "$media"/clip*.mp4 mnt/VIDEO/
cp "$media"/tone.wav mnt/music/
sync
sleep 1
(cd mnt && find . -type f | LC_ALL=C sort | awk 'NR % 2 == 1' | sed 's|^\./||') >deleted.txt
mkdir -p originals
while read -r f; do mkdir -p "originals/$(dirname "$f")"; cp "mnt/$f" "originals/$f"; rm "mnt/$f"; done <deleted.txt
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
read -r qs qk < <(measure "$cli" scan xfs.img --quick --recover quick)
read -r qa qn < <(exact quick)
read -r ds dk < <(measure "$cli" scan xfs.img --recover deep)
read -r da dn < <(exact deep)
mkdir photorec
read -r ps pk < <(measure photorec /log /d "$work/photorec/recup" /cmd xfs.img options,paranoid,search)
read -r pa pn < <(exact photorec)
echo "XFS, 512 MiB, $total files deleted after the log took them"
printf '  %-26s %3s exact, %3s named   %6.2f s  peak %6.1f MiB\n' "snapsave-cli --quick" "$qa" "$qn" "$qs" "$(echo "$qk / 1024" | bc -l)"
printf '  %-26s %3s exact, %3s named   %6.2f s  peak %6.1f MiB\n' "snapsave-cli (deep)" "$da" "$dn" "$ds" "$(echo "$dk / 1024" | bc -l)"
printf '  %-26s %3s exact, %3s named   %6.2f s  peak %6.1f MiB\n' "photorec /cmd" "$pa" "0" "$ps" "$(echo "$pk / 1024" | bc -l)"
