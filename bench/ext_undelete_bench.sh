#!/usr/bin/env bash
# Deleted files back from ext4 by name: snapsave-cli's quick scan against ext4magic and extundelete on the same
# image, in the same run. The image is written by the kernel (loop mount, as root): 24 real media and document
# files in folders, synced, 17 of them deleted, more written after, unmounted. Each tool recovers everything it
# can; a file counts as exact when its bytes equal the original's (by content, wherever the tool put it and
# whatever it named it), and as named when it also came back under its own name.
#
#   bench/ext_undelete_bench.sh path/to/snapsave-cli [work folder] [ext4|ext3|ext2]
#   (default /tmp/snapsave-ext-bench, ext4)
# The deep scan (names from the quick scan, the free blocks carved) is measured beside it.
# Needs: e2fsprogs, ext4magic, extundelete, util-linux, python3; run as root.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
here="$(cd "$(dirname "$0")" && pwd)"
media="$here/../tests/fixtures/carve/media"
work=${2:-/tmp/snapsave-ext-bench}
fstype=${3:-ext4}
rm -rf "$work" && mkdir -p "$work/orig" "$work/mnt"
cd "$work"
export XDG_DATA_HOME="$work/appdata"

files=(photo.jpg pic.jpg pic.png pic.gif pic.bmp pic.tif pic.webp movie.mp4 movie.avi movie.mkv movie.mov
       tone.wav tone.mp3 tone.flac tone.ogg letter.pdf letter.docx letter.odt table.xlsx docs.zip notes.db
       updated.pdf pic.psd movie.3gp)
truncate -s 64M ext4.img
mkfs."$fstype" -q -F ext4.img
mount -o loop ext4.img mnt
mkdir -p mnt/DCIM/100CANON mnt/Music mnt/Documents/2026
i=0
for f in "${files[@]}"; do
  case "$f" in
    photo*|pic*|movie*) dir=DCIM/100CANON ;;
    tone*) dir=Music ;;
    *) dir=Documents/2026 ;;
  esac
  name="$(printf 'f%02d_%s' "$i" "$f")"
  zcat "$media/$f.gz" > "mnt/$dir/$name"
  cp "mnt/$dir/$name" "orig/$name"
  i=$((i + 1))
done
sync
# Seventeen deleted: all but the last seven written.
deleted=0
for f in $(cd mnt && find . -type f | sort | head -17); do rm "mnt/$f"; deleted=$((deleted + 1)); done
sync
head -c 300000 /dev/urandom > mnt/after.bin
umount mnt

score() {  # folder -> "exact named"
  python3 - "$work/orig" "$1" <<'PY'
import hashlib, os, sys
orig, out = sys.argv[1], sys.argv[2]
def digest(p): return hashlib.md5(open(p, 'rb').read()).hexdigest()
want = {digest(os.path.join(orig, n)): n for n in os.listdir(orig)}
exact, named = set(), set()
for root, _, names in os.walk(out):
    for n in names:
        d = digest(os.path.join(root, n))
        if d in want:
            exact.add(d)
            if n == want[d]: named.add(d)
print(len(exact), len(named))
PY
}
run() {  # label, command...
  local label=$1; shift
  local start end
  start=$(date +%s.%N)
  "$@" > "$work/$label.log" 2>&1 || true
  end=$(date +%s.%N)
  read -r exact named < <(score "$work/$label")
  printf '  %-12s %2d exact, %2d named, %6.2f s\n' "$label" "$exact" "$named" "$(echo "$end - $start" | bc)"
}
echo "$fstype, 64 MiB, ${#files[@]} files written, $deleted deleted"
run snapsave "$cli" scan ext4.img --quick --fresh --recover "$work/snapsave"
run deep "$cli" scan ext4.img --fresh --recover "$work/deep"
run ext4magic ext4magic ext4.img -m -d "$work/ext4magic"
mkdir -p extundelete && run extundelete bash -c "cd '$work/extundelete' && extundelete '$work/ext4.img' --restore-all"
