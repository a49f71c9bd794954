#!/usr/bin/env bash
# Split files against PhotoRec: real files of each kind, each cut in two at a random sector boundary with
# 32 KiB to 1 MiB of other data between the pieces (random bytes, or a slice of another real file), every
# file's last sector padded with zeros. Both tools carve the raw image whole; every output is hashed and
# matched against the files placed. Per type: files split, exact for snapsave-cli and for PhotoRec, and
# snapsave-cli's outputs listed as intact that match no file (a wrong join). Then the time of each tool, and
# snapsave-cli's deep scan of the same amount of random data beside `cat` of it.
#
#   bench/fragmentation_bench.sh path/to/snapsave-cli [work folder]   (default /tmp/snapsave-fragment-bench)
# SEED=n lays the files out another way (default 29).
# Needs: ffmpeg, imagemagick, zip, libreoffice (soffice), testdisk (photorec), python3.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
work=${2:-/tmp/snapsave-fragment-bench}
mkdir -p "$work/files"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
PATH=/usr/bin:$PATH  # the real ImageMagick

ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
if [ ! -e files/done ]; then
  cd files
  for i in 1 2 3 4 5 6 7 8; do
    convert -seed "$i" -size $((300 + 250 * i))x$((225 + 190 * i)) plasma:fractal -quality $((80 + i)) "photo_$i.jpg"
  done
  for i in 1 2; do
    convert -seed "$((i + 10))" -size 1200x900 plasma:fractal -quality 90 -interlace Plane "progressive_$i.jpg"
    convert -seed "$((i + 10))" -size 800x600 plasma:fractal -sampling-factor 1x1 -quality 95 "full_$i.jpg"
    convert -seed "$((i + 20))" -size 700x500 plasma:fractal "pic_$i.png"
    convert -seed "$((i + 20))" -size 500x400 plasma:fractal "anim_$i.gif"
  done
  a="-f lavfi -i sine=frequency=330:sample_rate=44100"
  v="-f lavfi -i testsrc2=size=320x240:rate=25"
  for t in 4 8; do
    ff $a -t $((t * 3)) -c:a libmp3lame -b:a 128k "song_$t.mp3"
    ff $a -t $t -c:a libvorbis "song_$t.ogg"
    ff $a -t $t -c:a flac "song_$t.flac"
    ff $v -t $t -c:v libx264 -pix_fmt yuv420p "clip_$t.mp4"
    ff $v -t $t -c:v mpeg4 "clip_$t.mov"
  done
  python3 - <<'PY'
import random
r = random.Random(3)
words = "recovery sector card photo volume cluster folder image disk file".split()
for n in (1, 2):
    open(f"letter_{n}.txt", "w").write("\n".join(" ".join(r.choice(words) for _ in range(30)) for _ in range(3000 * n)))
PY
  for n in 1 2; do zip -q -9 "archive_$n.zip" "letter_$n.txt" && rm "letter_$n.txt"; done
  touch done
  cd ..
fi
# The framed video and sound families: camcorder and broadcast streams, program streams, AVI, FLV, ASF,
# WAV, MIDI and compound documents.
if [ ! -e files/done-framed ]; then
  cd files
  a="-f lavfi -i sine=frequency=330:sample_rate=44100"
  v="-f lavfi -i testsrc2=size=320x240:rate=25"
  for t in 4 8; do
    ff $v $a -t $t -c:v libx264 -pix_fmt yuv420p -c:a aac -f mpegts "clip_$t.ts"
    ff $v $a -t $t -c:v libx264 -pix_fmt yuv420p -c:a aac -f mpegts -mpegts_m2ts_mode 1 "clip_$t.m2ts"
    ff $v $a -t $t -c:v mpeg2video -c:a mp2 -f vob "clip_$t.mpg"
    ff $v $a -t $t -c:v mpeg4 -c:a libmp3lame "clip_$t.avi"
    ff $v $a -t $t -c:v flv1 -c:a libmp3lame -ar 44100 "clip_$t.flv"
    ff $v $a -t $t -c:v wmv2 -c:a wmav2 "clip_$t.wmv"
    ff $a -t $((t * 3)) -c:a wmav2 "song_$t.wma"
    ff $a -t $t -c:a pcm_s16le "song_$t.wav"
  done
  python3 - <<'PY'
import random, struct
def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))
for n in (1, 2):
    r = random.Random(n)
    tracks = []
    for t in range(3):
        ev = bytearray(b"\x00\xff\x03" + vlq(7) + b"track %d" % t)
        for _ in range(4000 * n):
            note = r.randrange(40, 90)
            ev += vlq(r.randrange(0, 120)) + bytes([0x90 | t, note, r.randrange(40, 127)])
            ev += vlq(r.randrange(10, 240)) + bytes([0x80 | t, note, 0])
        ev += b"\x00\xff\x2f\x00"
        tracks.append(b"MTrk" + struct.pack(">I", len(ev)) + ev)
    open(f"tune_{n}.mid", "wb").write(b"MThd" + struct.pack(">IHHH", 6, 1, 3, 480) + b"".join(tracks))
words = "recovery sector card photo volume cluster folder image disk file".split()
for n in (1, 2):
    r = random.Random(n)
    open(f"notes_{n}.txt", "w").write("\n".join(" ".join(r.choice(words) for _ in range(12)) for _ in range(400 * n)))
PY
  for n in 1 2; do
    soffice --headless --convert-to doc "notes_$n.txt" >/dev/null 2>&1 || true
    soffice --headless --convert-to xls "notes_$n.txt" >/dev/null 2>&1 || true
    rm -f "notes_$n.txt"
  done
  touch done-framed
  cd ..
fi

seed=${SEED:-29}
image=split-$seed.img
if [ ! -e "$image" ]; then
  python3 - "$image" "$seed" <<'PY'
import json, os, random, sys
rng = random.Random(int(sys.argv[2]))
names = sorted(f for f in os.listdir("files") if not f.startswith("done"))
data = {n: open(os.path.join("files", n), "rb").read() for n in names}
placed, layout = [], []
with open(sys.argv[1], "wb") as out:
    out.write(os.urandom(64 * 512))
    for name in names:
        body = data[name]
        sectors = (len(body) + 511) // 512
        if sectors < 3:
            continue
        cut = rng.randrange(1, sectors - 1) * 512
        gap = rng.randrange(64, 2049) * 512
        if rng.random() < 0.5:
            filler, kind = os.urandom(gap), "random"
        else:  # a slice of another real file, from anywhere in it
            kind = rng.choice([n for n in names if n != name])
            other = data[kind]
            start = rng.randrange(0, max(1, len(other) - 1))
            filler = (other[start:] + os.urandom(gap))[:gap]
            kind += f"@{start}"
        tail = body[cut:]
        layout.append({"name": name, "sector": out.tell() // 512, "cut": cut // 512, "gap": gap // 512,
                       "filler": kind})
        out.write(body[:cut] + filler + tail + bytes(-len(tail) % 512))
        out.write(os.urandom(rng.randrange(1, 16) * 512))
        placed.append(name)
    out.write(os.urandom(64 * 512))
json.dump(placed, open(sys.argv[1] + ".placed.json", "w"))
json.dump(layout, open(sys.argv[1] + ".layout.json", "w"), indent=0)
PY
fi
[ -e random.img ] || head -c $((512 << 20)) /dev/urandom >random.img

rm -rf "$work/appdata" ours recup* ours.json
t0=$(date +%s.%N)
"$cli" scan "$image" --fresh --list --json --recover ours >ours.json 2>/dev/null || true
t1=$(date +%s.%N)
photorec /log /d "$work/recup" /cmd "$image" "partition_none,fileopt,everything,enable,wholespace,search" \
  >/dev/null 2>&1 || true
t2=$(date +%s.%N)
python3 - "$t0" "$t1" "$t2" "$image" <<'PY'
import collections, hashlib, json, os, sys
t0, t1, t2 = map(float, sys.argv[1:4])
sha = lambda b: hashlib.sha256(b).hexdigest()
placed = json.load(open(sys.argv[4] + ".placed.json"))
want = {sha(open(os.path.join("files", n), "rb").read()): n for n in placed}
JOINED = {"jpg", "png", "ogg", "zip", "mp4", "mov", "ts", "m2ts", "mid", "wav", "flv", "avi", "wmv", "wma", "mpg", "doc"}
def ext(n):
    return n.rsplit(".", 1)[1]
def exact(root_prefix):
    got = set()
    for d in [d for d in os.listdir(".") if d.startswith(root_prefix)]:
        for base, _, files in os.walk(d):
            for f in files:
                h = sha(open(os.path.join(base, f), "rb").read())
                if h in want:
                    got.add(want[h])
    return got
ours, theirs = exact("ours"), exact("recup")
# Outputs listed intact that match no placed file: hashed by name from the recovery folder.
listed = [json.loads(l) for l in open("ours.json") if l.startswith("{")]
intact = {r["name"] for r in listed if r.get("type") == "file" and r.get("intact")}
wrong = 0
for base, _, files in os.walk("ours"):
    for f in files:
        if f in intact and ext(f) in JOINED:
            if sha(open(os.path.join(base, f), "rb").read()) not in want:
                wrong += 1
damaged = sum(1 for r in listed if r.get("type") == "file" and not r.get("intact"))
# Files snapsave-cli put back to their whole length but listed damaged (a split it could not place exactly):
# the output carved at the file's start sector, as long as the file, wrong only within one stretch of at most
# 256 KiB that ends 4 KiB before the file does (a first piece followed by other data is wrong from the cut
# to the end).
def one_stretch(a, b):
    diff = [i for i in range(0, len(a), 64) if a[i:i + 64] != b[i:i + 64]]
    return len(a) == len(b) and bool(diff) and diff[-1] - diff[0] <= 256 * 1024 and diff[-1] + 4096 < len(b)
by_start = {}
for base, _, files in os.walk("ours"):
    for f in files:
        by_start[f.split(".", 1)[0]] = os.path.join(base, f)
damaged_names = {r["name"].split(".", 1)[0] for r in listed if r.get("type") == "file" and not r.get("intact")}
whole = set()
for entry in json.load(open(sys.argv[4] + ".layout.json")):
    n, key = entry["name"], str(entry["sector"])
    if n not in ours and key in by_start and key in damaged_names and \
            one_stretch(open(by_start[key], "rb").read(), open(os.path.join("files", n), "rb").read()):
        whole.add(n)
print(f"{'type':6} {'split':>5} {'snapsave':>8} {'photorec':>8}  snapsave whole length, listed damaged")
for e in sorted({ext(n) for n in placed}):
    names = [n for n in placed if ext(n) == e]
    print(f"{e:6} {len(names):5} {sum(n in ours for n in names):8} {sum(n in theirs for n in names):8}"
          f"  {sum(n in whole for n in names)}")
print(f"{'all':6} {len(placed):5} {len(ours):8} {len(theirs):8}  {len(whole)}")
print(f"joinable files ({', '.join(sorted(JOINED))}) listed intact that match no file: {wrong}; files listed damaged: {damaged}")
print(f"time: snapsave-cli {t1 - t0:.1f} s, photorec {t2 - t1:.1f} s")
PY

# Throughput on data with nothing to join: the deep scan of random bytes beside reading them.
rm -rf "$work/appdata"
t0=$(date +%s.%N)
cat random.img >/dev/null
t1=$(date +%s.%N)
"$cli" scan random.img --fresh >/dev/null 2>&1 || true
t2=$(date +%s.%N)
python3 -c "import sys; c, s = float(sys.argv[2]) - float(sys.argv[1]), float(sys.argv[3]) - float(sys.argv[2]); \
print(f'512 MiB random: cat {512 / c:.0f} MiB/s, snapsave-cli deep scan {512 / s:.0f} MiB/s')" "$t0" "$t1" "$t2"
