#!/bin/bash
# Makes the NTFS bench image with mkntfs and ntfs-3g (run as root; ntfs-3g mounts the image through FUSE):
# 200 folders of 500 small files, so the MFT holds about 100,000 records, then every 33rd file deleted.
# Usage: make_ntfs_bench_image.sh OUTPUT
set -euo pipefail

out=$1
work=$(mktemp -d)
mnt=$work/mnt
mkdir -p "$mnt"
cleanup() {
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  rm -rf "$work"
}
trap cleanup EXIT

img=$work/bench.img
truncate -s 1G "$img"
mkntfs -F -q -Q -s 512 -c 4096 -L SNAPBENCH "$img" >/dev/null 2>&1
ntfs-3g -o big_writes "$img" "$mnt"
python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(200):
    folder = os.path.join(root, "d%03d" % d)
    os.mkdir(folder)
    for i in range(500):
        # Mostly resident contents; every 50th file is large enough to leave the record.
        size = 3000 if i % 50 == 0 else 40 + i % 200
        with open(os.path.join(folder, "f%03d.txt" % i), "wb") as f:
            f.write(bytes([0x61 + (d + i) % 26]) * size)
PY
sync
python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
n = 0
for d in range(200):
    for i in range(500):
        if (d * 500 + i) % 33 == 0:
            os.unlink(os.path.join(root, "d%03d" % d, "f%03d.txt" % i))
            n += 1
print("deleted", n)
PY
umount "$mnt"
mv "$img" "$out"
