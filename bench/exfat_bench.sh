#!/usr/bin/env bash
# exFAT recovery against The Sleuth Kit and PhotoRec, on cards made here with mkfs.exfat and exfat-fuse:
#   F  photos written, every other one deleted, larger ones written into the holes (so they fragment), then
#      some of each kind deleted
#   Q  photos in camera folders, then the card quick-formatted
# Per card: the deleted files placed, and how many each tool brings back exact (SHA-256) and under their own
# name: snapsave-cli quick and deep, tsk_recover, PhotoRec (which names nothing). Then the quick scan's time
# beside fls -r -d on a card of 100,000 files.
#
#   sudo bench/exfat_bench.sh path/to/snapsave-cli [work folder]   (default /tmp/snapsave-exfat-bench)
# Needs root (loop devices), exfatprogs, exfat-fuse, imagemagick, sleuthkit, testdisk (photorec), python3.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
work=${2:-/tmp/snapsave-exfat-bench}
mkdir -p "$work"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
PATH=/usr/bin:$PATH  # the real ImageMagick
loop=""
cleanup() {
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  [ -n "$loop" ] && losetup -d "$loop"
  return 0
}
trap cleanup EXIT
mkdir -p mnt
mount_card() { loop=$(losetup -f --show "$1"); mount.exfat-fuse "$loop" mnt; }
unmount_card() { sync; umount mnt; losetup -d "$loop"; loop=""; }
photo() { convert -seed "$1" -size "$2" plasma:fractal -quality 88 "$3"; }
# Deleted file -> SHA-256, kept before it goes.
remember() { printf '%s\t%s\n' "$2" "$(sha256sum <"mnt/$2" | cut -d' ' -f1)" >>"$1"; }

if [ ! -e F.img ]; then
  rm -f F.manifest
  truncate -s 64M F.img
  mkfs.exfat -c 4096 F.img >/dev/null
  mount_card F.img
  mkdir -p mnt/DCIM/100CAM
  for i in $(seq 1 20); do photo "$i" $((300 + 20 * i))x$((200 + 20 * i)) "mnt/DCIM/100CAM/IMG_$((1000 + i)).JPG"; done
  for i in $(seq 2 2 20); do rm "mnt/DCIM/100CAM/IMG_$((1000 + i)).JPG"; done
  for i in $(seq 1 8); do photo "$((50 + i))" $((900 + 40 * i))x$((700 + 30 * i)) "mnt/DCIM/100CAM/BIG_$i.JPG"; done
  for i in 1 5 9 13 17; do remember F.manifest "DCIM/100CAM/IMG_$((1000 + i)).JPG"; rm "mnt/DCIM/100CAM/IMG_$((1000 + i)).JPG"; done
  for i in 2 4 6 8; do remember F.manifest "DCIM/100CAM/BIG_$i.JPG"; rm "mnt/DCIM/100CAM/BIG_$i.JPG"; done
  unmount_card
fi

if [ ! -e Q.img ]; then
  rm -f Q.manifest
  truncate -s 64M Q.img
  mkfs.exfat -L CAMERA -c 4096 Q.img >/dev/null
  mount_card Q.img
  mkdir -p mnt/DCIM/100CAM mnt/DCIM/101CAM "mnt/Holiday pictures"
  for i in $(seq 1 30); do
    folder=DCIM/100CAM
    [ "$i" -gt 15 ] && folder=DCIM/101CAM
    [ "$i" -gt 25 ] && folder="Holiday pictures"
    photo "$((100 + i))" $((400 + 10 * i))x$((300 + 10 * i)) "mnt/$folder/IMG_$((2000 + i)).JPG"
    remember Q.manifest "$folder/IMG_$((2000 + i)).JPG"
  done
  unmount_card
  mkfs.exfat -L CAMERA -c 4096 Q.img >/dev/null
fi

evaluate() {  # card
  local card=$1
  rm -rf appdata quick deep tsk recup*
  "$cli" scan "$card.img" --quick --fresh --recover quick >/dev/null 2>&1 || true
  "$cli" scan "$card.img" --fresh --recover deep >/dev/null 2>&1 || true
  mkdir -p tsk && tsk_recover "$card.img" tsk >/dev/null 2>&1 || true
  photorec /log /d recup /cmd "$card.img" "partition_none,fileopt,everything,enable,wholespace,search" \
    >/dev/null 2>&1 || true
  python3 - "$card" <<'PY'
import hashlib, os, sys
card = sys.argv[1]
want = {}
for line in open(f"{card}.manifest"):
    path, sha = line.rstrip("\n").split("\t")
    want[sha] = os.path.basename(path)
def score(root):
    exact = named = 0
    for d, _, files in os.walk(root):
        for f in files:
            sha = hashlib.sha256(open(os.path.join(d, f), "rb").read()).hexdigest()
            if sha in want:
                exact += 1
                named += f == want[sha]
    return exact, named
print(f"{card}.img: {len(want)} deleted files placed")
for tool, root in (("snapsave-cli quick", "quick"), ("snapsave-cli deep", "deep"), ("tsk_recover", "tsk"),
                   ("photorec", "recup.1")):
    exact, named = score(root) if os.path.isdir(root) else (0, 0)
    print(f"  {tool:20} exact {exact:3}   exact and named {named:3}")
PY
}
evaluate F
evaluate Q

if [ ! -e M.img ]; then
  truncate -s 1G M.img
  mkfs.exfat -c 4096 M.img >/dev/null
  mount_card M.img
  python3 - <<'PY'
import os
for d in range(100):
    os.makedirs(f"mnt/d{d:03}")
    for f in range(1000):
        with open(f"mnt/d{d:03}/file-{f:04}.txt", "w") as out:
            out.write(f"{d} {f}\n")
PY
  for d in $(seq -w 0 9 99); do rm -f mnt/d0$d/file-0*.txt 2>/dev/null || true; done
  unmount_card
fi
rm -rf appdata
s=$(date +%s.%N)
n=$("$cli" scan M.img --quick --fresh --list | grep -c '^file')
e=$(date +%s.%N)
f0=$(date +%s.%N)
m=$(fls -r -d M.img | grep -v OrphanFiles | grep -c '^r/r')
f1=$(date +%s.%N)
# fls lists the deleted files of the folders their drivers shrank under $OrphanFiles; left out of its count.
python3 -c "print(f'M.img (100,000 files): snapsave-cli quick {$e - $s:.2f} s ({$n} deleted files), fls -r -d {$f1 - $f0:.2f} s ({$m} outside \$OrphanFiles)')"
