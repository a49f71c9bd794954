#!/usr/bin/env bash
# Carving accuracy against PhotoRec on raw images of real files, built here (cached in the work folder):
#   Z  each file followed by zeros to its sector's end, random or zero gaps between files
#   R  the same files with random bytes from each file's end to its sector's end (a reused card)
# Both tools carve each image whole (no file system); every output is hashed and matched against the files
# placed. Per type: files placed, exact for snapsave-cli and for PhotoRec; outputs that match no file, bytes
# written and the time each took. Camera RAW files are laid out by raw_layouts.py beside this script.
#
#   bench/carving_accuracy_bench.sh path/to/snapsave-cli [work folder]   (default /tmp/snapsave-carve-bench)
# Needs: ffmpeg, imagemagick, libreoffice (writer, calc, impress), zip, p7zip-full, sqlite3, libheif-examples,
# webp, testdisk (photorec), python3.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
bench=$(dirname "$(realpath "$0")")
work=${2:-/tmp/snapsave-carve-bench}
mkdir -p "$work/files"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
PATH=/usr/bin:$PATH  # the real ImageMagick

ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
if [ ! -e files/done ]; then
  cd files
  v="-f lavfi -i testsrc2=size=320x240:rate=25"
  a="-f lavfi -i sine=frequency=330:sample_rate=44100"
  for t in 2 5; do
    ff $v -t $t -c:v libx264 -pix_fmt yuv420p "x264_$t.mp4"
    ff $v -t $t -c:v mpeg4 "mpeg4_$t.mp4"
    ff $v -t $t -c:v libx264 -pix_fmt yuv420p -movflags +faststart "fast_$t.mp4"
    ff $v -t $t -c:v mpeg4 "clip_$t.mov"
    ff $v -t $t -c:v h263 -s 352x288 "phone_$t.3gp"
    ff $v -t $t -c:v libx264 -pix_fmt yuv420p "movie_$t.mkv"
    ff $v -t $t -c:v libvpx -b:v 300k "web_$t.webm" && mv "web_$t.webm" "web_$t.mkv"
    ff $v -t $t -c:v flv "clip_$t.flv"
    ff $v -t $t -c:v mpeg2video -f vob "dvd_$t.vob"
    ff $v -t $t -c:v mpeg1video -f mpeg "old_$t.mpg"
    ff $v -t $t -c:v mpeg2video -f mpegts "cam_$t.ts"
    ff $v -t $t -c:v mpeg2video -f mpegts -mpegts_m2ts_mode 1 "cam_$t.mts"
    ff $v -t $t -c:v wmv2 "clip_$t.wmv"
    ff $v -t $t -c:v mpeg4 "clip_$t.avi"
    ff $v -t $t -c:v rv10 -s 320x240 "real_$t.rm"
    ff $a -t $((t * 3)) -c:a libmp3lame -b:a 128k -id3v2_version 3 "tagged_$t.mp3"
    ff $a -t $((t * 3)) -c:a libmp3lame -b:a 96k -write_xing 0 -id3v2_version 0 "bare_$t.mp3"
    ff $a -t $((t * 3)) -c:a mp2 -b:a 192k "tone_$t.mp2"
    ff $a -t $((t * 2)) -c:a pcm_s16le "tone_$t.wav"
    ff $a -t $((t * 2)) -c:a aac "tone_$t.m4a" && mv "tone_$t.m4a" "music_$t.mp4"
    ff $a -t $((t * 3)) -c:a libvorbis "song_$t.ogg"
    ff $a -t $((t * 3)) -c:a libopus "voice_$t.opus" && mv "voice_$t.opus" "voice_$t.ogg"
    ff $v $a -t $t -c:v libtheora -c:a libvorbis "film_$t.ogg"
    ff $a -t $((t * 2)) -c:a flac "song_$t.flac"
  done
  for i in 1 2 3 4 5 6; do
    convert -seed "$i" -size $((400 * i))x$((300 * i)) plasma:fractal -quality 88 "photo_$i.jpg"
    convert -seed "$i" -size 400x300 plasma:fractal "pic_$i.png"
    convert -seed "$i" -size 200x150 plasma:fractal "anim_$i.gif"
    convert -seed "$i" -size 300x200 plasma:fractal "scan_$i.tif"
    convert -seed "$i" -size 300x200 plasma:fractal -compress lzw "lzw_$i.tif"
    convert -seed "$i" -size 300x200 plasma:fractal "layer_$i.psd"
    convert -seed "$i" -size 300x200 plasma:fractal "shot_$i.bmp"
  done
  # A photo with an Exif thumbnail inside it.
  convert -seed 9 -size 1600x1200 plasma:fractal -quality 90 big.jpg
  convert -seed 9 -size 160x120 plasma:fractal -quality 80 thumb.jpg
  python3 - big.jpg thumb.jpg <<'PY'
import struct, sys
big, thumb = (open(p, "rb").read() for p in sys.argv[1:3])
ifd = b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", 2)
offset = 8 + 2 + 2 * 12 + 4
ifd += struct.pack("<HHII", 0x201, 4, 1, offset) + struct.pack("<HHII", 0x202, 4, 1, len(thumb)) + b"\0" * 4
app1 = b"Exif\0\0" + ifd + thumb
out = big[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + big[2:]
open("exif_thumb.jpg", "wb").write(out)
PY
  # Camera RAW files (previews from ImageMagick), LibreOffice documents in both Office formats and their own,
  # and ZIP archives.
  convert -seed 7 -size 1024x768 plasma:fractal -quality 85 preview.jpg
  python3 "$bench/raw_layouts.py" preview.jpg thumb.jpg .
  python3 - <<'PY2'
import random
r = random.Random(5)
words = "recovery sector card photo volume cluster folder image disk file".split()
for n in (1, 2):
    open(f"letter_{n}.txt", "w").write("\n\n".join(" ".join(r.choice(words) for _ in range(200)) for _ in range(15 * n)))
    open(f"table_{n}.csv", "w").write("\n".join(",".join(str(r.randrange(10**5)) for _ in range(12)) for _ in range(400 * n)))
    pages = "".join(f'<draw:page draw:name="p{k}"><draw:frame svg:x="2cm" svg:y="2cm" svg:width="20cm" svg:height="3cm">'
                    f'<draw:text-box><text:p>Slide {k} of {n}</text:p></draw:text-box></draw:frame></draw:page>'
                    for k in range(3 * n))
    open(f"slides_{n}.fodp", "w").write(
        '<?xml version="1.0" encoding="UTF-8"?><office:document '
        'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
        'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
        'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
        'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" office:version="1.3" '
        'office:mimetype="application/vnd.oasis.opendocument.presentation"><office:body><office:presentation>'
        + pages + "</office:presentation></office:body></office:document>")
PY2
  for n in 1 2; do
    for f in doc docx odt; do soffice --headless --convert-to "$f" "letter_$n.txt" >/dev/null; done
    for f in xls xlsx ods; do soffice --headless --convert-to "$f" "table_$n.csv" >/dev/null; done
    for f in ppt pptx odp; do soffice --headless --convert-to "$f" "slides_$n.fodp" >/dev/null; done
    zip -q -9 "archive_$n.zip" "letter_$n.txt" "table_$n.csv"
    zip -q <"letter_$n.txt" >"streamed_$n.zip"
  done
  rm -f big.jpg thumb.jpg preview.jpg ./*.txt ./*.csv ./*.fodp
  touch done
  cd ..
fi

# Phones' and today's cameras' pictures and audio, PDF, compressed files and a database (a second set, so that
# a cached first set is kept).
if [ ! -e files/done2 ]; then
  cd files
  a="-f lavfi -i sine=frequency=550:sample_rate=44100"
  for t in 2 5; do
    ff $a -t $((t * 3)) -c:a aac -f ipod "memo_$t.m4a"
    ff $a -t $((t * 3)) -c:a aac -f adts "radio_$t.aac"
    ff $a -t $((t * 3)) -c:a libopus "voice_$t.opus"
    ff $a -t $((t * 2)) -c:a pcm_s16be "tone_$t.aiff"
  done
  for i in 1 2 3; do
    convert -seed "$((i + 20))" -size $((500 * i))x$((375 * i)) plasma:fractal -quality 90 "cam_$i.jpg"
    heif-enc -q 60 -o "iphone_$i.heic" "cam_$i.jpg" >/dev/null
    heif-enc -A -q 60 -o "phone_$i.avif" "cam_$i.jpg" >/dev/null
    convert "cam_$i.jpg" "cam_$i.png"
    cwebp -quiet -q 80 "cam_$i.png" -o "web_$i.webp"
    cwebp -quiet -lossless "pic_$i.png" -o "lossless_$i.webp"
    rm "cam_$i.jpg" "cam_$i.png"
  done
  python3 - <<'PY3'
import random
r = random.Random(8)
words = "recovery sector card photo volume cluster folder image disk file".split()
for n in (1, 2):
    open(f"report_{n}.txt", "w").write("\n\n".join(" ".join(r.choice(words) for _ in range(180)) for _ in range(20 * n)))
PY3
  for n in 1 2; do
    soffice --headless --convert-to pdf "report_$n.txt" >/dev/null
    gzip -9 -n -c "report_$n.txt" >"report_$n.txt.gz"
    bzip2 -9 -c "report_$n.txt" >"report_$n.txt.bz2"
    xz -6 -c "report_$n.txt" >"report_$n.txt.xz"
    7z a -bd -mx=9 "report_$n.7z" "report_$n.txt" >/dev/null
    sqlite3 "notes_$n.db" "create table notes(id integer primary key, body text);
      insert into notes(body) select hex(randomblob(300)) from
        (with recursive k(i) as (select 1 union all select i + 1 from k where i < $((300 * n))) select i from k);"
  done
  for n in 1 2; do soffice --headless --convert-to pdf "slides_$n.odp" >/dev/null && mv "slides_$n.pdf" "deck_$n.pdf"; done
  rm -f ./*.txt
  touch done2
  cd ..
fi

build() {  # image name, tail kind (zero or random)
  [ -e "$1" ] && return
  python3 - "$1" "$2" files <<'PY'
import os, random, sys
image, tail, folder = sys.argv[1:4]
rng = random.Random(11)
names = sorted(f for f in os.listdir(folder) if not f.startswith("done"))
with open(image, "wb") as out:
    out.write(os.urandom(64 * 512))
    for round_ in range(2):
        for name in names:
            data = open(os.path.join(folder, name), "rb").read()
            pad = -len(data) % 512
            out.write(data + (os.urandom(pad) if tail == "random" else bytes(pad)))
            gap = rng.randrange(1, 24) * 512
            out.write(os.urandom(gap) if rng.random() < 0.5 else bytes(gap))
    out.write(os.urandom(64 * 512))
PY
}
build Z.img zero
build R.img random

evaluate() {  # image
  local image=$1
  rm -rf "$work/appdata" "$work/ours" "$work/recup"*
  local t0 t1 t2
  t0=$(date +%s.%N)
  "$cli" scan "$image" --fresh --recover "$work/ours" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  photorec /log /d "$work/recup" /cmd "$image" "partition_none,fileopt,everything,enable,wholespace,search" \
    >/dev/null 2>&1 || true
  t2=$(date +%s.%N)
  python3 - "$image" files ours recup "$t0" "$t1" "$t2" <<'PY'
import collections, hashlib, os, sys
image, folder, ours, theirs = sys.argv[1:5]
t0, t1, t2 = map(float, sys.argv[5:8])
sha = lambda data: hashlib.sha256(data).hexdigest()
placed = collections.Counter()
want = {}
for name in os.listdir(folder):
    if name.startswith("done"):
        continue
    ext = name.rsplit(".", 1)[1]
    h = sha(open(os.path.join(folder, name), "rb").read())
    want[h] = ext
    placed[ext] += 2  # each file is placed twice
def score(root_glob):
    exact, extra, written = collections.Counter(), 0, 0
    roots = [d for d in os.listdir(".") if d.startswith(root_glob)]
    for root in roots:
        for d, _, files in os.walk(root):
            for f in files:
                if f in ("report.xml", "report.json"):  # the tools' own reports
                    continue
                data = open(os.path.join(d, f), "rb").read()
                written += len(data)
                h = sha(data)
                if h in want:
                    exact[want[h]] += 1
                else:
                    extra += 1
    return exact, extra, written
o, oe, ow = score(ours)
p, pe, pw = score(theirs)
total = sum(placed.values())
print(f"{image}: {total} files placed ({sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder) if not n.startswith('done')) * 2 / 1e6:.1f} MB)")
print(f"  {'type':6} {'placed':>6} {'ours':>6} {'photorec':>8}")
for ext in sorted(placed):
    print(f"  {ext:6} {placed[ext]:6} {o[ext]:6} {p[ext]:8}")
print(f"  exact: ours {sum(o.values())}/{total} ({100 * sum(o.values()) / total:.1f} %), "
      f"photorec {sum(p.values())}/{total} ({100 * sum(p.values()) / total:.1f} %)")
print(f"  outputs matching no file: ours {oe}, photorec {pe}; bytes written: ours {ow / 1e6:.1f} MB, photorec {pw / 1e6:.1f} MB")
mb = os.path.getsize(image) / 1e6
print(f"  scan with recovery: ours {t1 - t0:.1f} s ({mb / (t1 - t0):.0f} MB/s), photorec {t2 - t1:.1f} s ({mb / (t2 - t1):.0f} MB/s)")
PY
}

evaluate Z.img
evaluate R.img
