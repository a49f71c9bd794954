#!/usr/bin/env bash
# The deep scan against the read limit and against PhotoRec, on two 2 GiB images built here (cached in the
# work folder) with real media files made by ffmpeg and ImageMagick:
#   A  random data with a few hundred media files scattered in it (no file system: both tools scan it whole)
#   B  a FAT32 volume densely filled with media files, a tenth of them deleted (both tools scan its free space)
#   C  a 1 GiB FAT32 camera card filled with 12-megapixel photos (Exif and thumbnail, as cameras write them)
#      and a few H.264 videos, then reformatted (both tools scan it whole)
#   D  the same card with the photos deleted instead (both tools scan its free space)
# With the page cache warm, each image is read by `cat` (the read limit), deep-scanned by snapsave-cli and
# searched by PhotoRec in its /cmd mode, all in one run; the script prints MB/s, peak memory and the ratios.
#
#   bench/deep_scan_bench.sh path/to/snapsave-cli [work folder] [images]
#   (default /tmp/snapsave-deep-bench and "A B C D")
# Needs: ffmpeg (libx264), imagemagick, dosfstools, mtools, testdisk (photorec), python3, GNU time.
set -euo pipefail
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
work=${2:-/tmp/snapsave-deep-bench}
only=${3:-A B C D}
mkdir -p "$work/media"
cd "$work"
export MTOOLS_SKIP_CHECK=1 XDG_DATA_HOME="$work/appdata"

# Real media files of realistic sizes, made once.
if [ ! -e media/done ]; then
  for i in 1 2 3 4 5 6; do convert -seed "$i" -size 1600x1200 plasma:fractal -quality 90 "media/photo$i.jpg"; done
  for i in 1 2; do convert -seed "$((10 + i))" -size 800x600 plasma:fractal "media/pic$i.png"; done
  for i in 1 2 3; do
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc=size=1280x720:rate=25" -t $((4 * i)) \
      -c:v mpeg4 -q:v 4 "media/clip$i.mp4"
  done
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:sample_rate=44100" -t 20 media/tone.wav
  touch media/done
fi

if [ ! -e A.img ]; then
  echo "building A.img ..."
  head -c 2G /dev/urandom >A.img
  python3 - A.img media <<'PY'
import os, random, sys
image, media = sys.argv[1], sys.argv[2]
files = sorted(f for f in os.listdir(media) if f != "done")
rng = random.Random(7)
size = os.path.getsize(image)
with open(image, "r+b") as out:
    at = 2048 * 512
    for i in range(300):
        data = open(os.path.join(media, files[i % len(files)]), "rb").read()
        padded = data + bytes(-len(data) % 512)  # a file ends in a sector whose rest is empty
        at += rng.randrange(64, 4096) * 512
        if at + len(padded) > size:
            break
        out.seek(at)
        out.write(padded)
        at += len(padded)
PY
fi

if [ ! -e B.img ]; then
  echo "building B.img ..."
  rm -f B.img
  mkfs.fat -F 32 -s 8 -n BENCH -C B.img $((2 * 1024 * 1024)) >/dev/null
  mmd -i B.img ::/DCIM ::/Video ::/Audio
  n=0
  # Fill to about nine tenths, round-robin over the media files.
  free() { mdir -i B.img ::/ | sed -n 's/^ *\([0-9 ]*\) bytes free.*/\1/p' | tr -d ' '; }
  while [ "$(free)" -gt 220000000 ]; do
    batch=$(mktemp -d -p "$work")
    for f in media/*.jpg media/*.png media/*.mp4 media/*.wav; do
      n=$((n + 1))
      ln "$work/$f" "$batch/f$n.${f##*.}"
    done
    mcopy -i B.img "$batch"/*.jpg "$batch"/*.png ::/DCIM/
    mcopy -i B.img "$batch"/*.mp4 ::/Video/
    mcopy -i B.img "$batch"/*.wav ::/Audio/
    rm -rf "$batch"
  done
  # A tenth deleted.
  for d in DCIM Video Audio; do
    mdir -i B.img -b "::/$d" | awk 'NR % 10 == 0' | while read -r f; do mdel -i B.img "$f"; done
  done
fi

# Camera photos: eight 12-megapixel pictures with grain (about 6 MB each, as a camera's), each copy given its
# own Exif block and thumbnail; and three 1080p H.264 clips.
if [ ! -e media/camera-done ]; then
  mkdir -p media/camera
  for i in 1 2 3 4 5 6 7 8; do
    convert -seed "$((20 + i))" -size 4000x3000 plasma:fractal -attenuate 0.6 +noise Gaussian -quality 92 \
      -sampling-factor 2x1 "media/camera/p$i.jpg"
    convert "media/camera/p$i.jpg" -resize 160x120 -quality 80 "media/camera/t$i.jpg"
  done
  for i in 1 2 3; do
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30" -t $((3 * i)) \
      -c:v libx264 -preset veryfast -b:v 12M -pix_fmt yuv420p "media/camera/MVI_000$i.MP4"
  done
  touch media/camera-done
fi

card() {  # card image, then what is done to it: reformat or delete-photos
  local image=$1 what=$2
  [ -e "$image" ] && return
  echo "building $image ..."
  rm -f "$image"
  mkfs.fat -F 32 -s 16 -n CARD -C "$image" $((1024 * 1024)) >/dev/null
  mmd -i "$image" ::/DCIM ::/DCIM/100SNAPC
  local n=0 staging
  staging=$(mktemp -d -p "$work")
  cardfree() { mdir -i "$image" ::/ | sed -n 's/^ *\([0-9 ]*\) bytes free.*/\1/p' | tr -d ' '; }
  while [ "$(cardfree)" -gt 40000000 ]; do
    for i in 1 2 3 4 5 6 7 8; do
      n=$((n + 1))
      python3 "$here/camera_jpeg.py" "media/camera/p$i.jpg" "media/camera/t$i.jpg" "$n" \
        "$staging/$(printf 'IMG_%04d.JPG' "$n")"
    done
    n=$((n + 1))
    cp "media/camera/MVI_000$((n % 3 + 1)).MP4" "$staging/$(printf 'MVI_%04d.MP4' "$n")"
    mcopy -i "$image" "$staging"/* ::/DCIM/100SNAPC/
    rm -f "$staging"/*
  done
  rmdir "$staging"
  if [ "$what" = reformat ]; then
    mkfs.fat -F 32 -s 16 -n CARD "$image" >/dev/null
  else
    mdir -i "$image" -b ::/DCIM/100SNAPC | grep '\.JPG$' | while read -r f; do mdel -i "$image" "$f"; done
  fi
}
card C.img reformat
card D.img delete-photos

measure() {  # seconds, peak KiB and CPU seconds (user + system) of a command
  /usr/bin/time -f "%e %M %U %S" -o "$work/time.txt" "$@" >"$work/stdout.txt" 2>&1 || true
  awk '{print $1, $2, $3 + $4}' "$work/time.txt"
}

report() {
  local name=$1 extent=$2 image=$3
  case " $only " in *" ${image%.img} "*) ;; *) return 0 ;; esac
  local mib=$(( $(stat -c %s "$image") / 1048576 ))
  cat "$image" >/dev/null
  cat "$image" >/dev/null
  read -r catS catK catC < <(measure sh -c 'cat "$1" >/dev/null' cat "$image")
  rm -rf "$work/appdata" "$work/recup"*
  read -r oursS oursK oursC < <(measure "$cli" scan "$image")
  local ours
  ours=$(sed -n 's/^\([0-9]*\) items found$/\1/p' "$work/stdout.txt")
  read -r prS prK prC < <(measure photorec /log /d "$work/recup" /cmd "$image" \
    "partition_none,options,paranoid_no,fileopt,everything,enable,$extent,search")
  local found
  found=$(find "$work"/recup* -type f ! -name report.xml 2>/dev/null | wc -l)
  python3 - "$name" "$mib" "$catS" "$catK" "$catC" "$oursS" "$oursK" "$oursC" "$prS" "$prK" "$prC" "$found" \
    "$ours" <<'PY'
import sys
name, mib, cs, ck, cc, os_, ok, oc, ps, pk, pc, found, ours = sys.argv[1:]
mib, cs, os_, ps = int(mib), float(cs), float(os_), float(ps)
rate = lambda s: mib / s if s > 0 else float("inf")
cpu = lambda c: float(c) * 1024 / mib  # CPU seconds per GiB
print(f"{name} ({mib} MiB)")
print(f"  cat (read limit)   {cs:7.2f} s {rate(cs):9.1f} MiB/s  cpu {cpu(cc):5.2f} s/GiB  peak {int(ck) / 1024:6.1f} MiB")
print(f"  snapsave-cli scan  {os_:7.2f} s {rate(os_):9.1f} MiB/s  cpu {cpu(oc):5.2f} s/GiB  peak {int(ok) / 1024:6.1f} MiB"
      f"  ({ours} items)")
print(f"  photorec /cmd      {ps:7.2f} s {rate(ps):9.1f} MiB/s  cpu {cpu(pc):5.2f} s/GiB  peak {int(pk) / 1024:6.1f} MiB"
      f"  ({found} files)")
print(f"  snapsave / photorec throughput {ps / os_ if os_ > 0 else float('inf'):.2f}x; "
      f"snapsave / read limit {cs / os_ if os_ > 0 else float('inf'):.2f}")
PY
}

report "A: random data with media files" wholespace A.img
report "B: FAT32 filled with media files, a tenth deleted" freespace B.img
report "C: camera card of photos and videos, reformatted" wholespace C.img
report "D: camera card, photos deleted" freespace D.img
