#!/usr/bin/env bash
# The ext4 quick scan's time on a volume with 100,000 files against The Sleuth Kit's `fls -r -d -p` (which lists
# the deleted names it can see) on the same image, in the same run, page cache warm. The image is written by the
# kernel (loop mount, as root): 100,000 small files in 200 folders, 1,000 of them deleted after a sync.
#
#   bench/ext_quick_scan_bench.sh path/to/snapsave-cli [work folder]   (default /tmp/snapsave-ext-quick-bench)
# Needs: e2fsprogs, sleuthkit (fls), util-linux, python3, GNU time; run as root.
set -euo pipefail
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [work folder]}")
work=${2:-/tmp/snapsave-ext-quick-bench}
mkdir -p "$work/mnt"
cd "$work"
export XDG_DATA_HOME="$work/appdata"
if [ ! -e many.img ]; then
  truncate -s 1G many.img
  mkfs.ext4 -q -F -N 150000 many.img
  mount -o loop many.img mnt
  python3 - "$work/mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(200):
    os.makedirs(f"{root}/d{d:03}")
    for f in range(500):
        with open(f"{root}/d{d:03}/file{f:03}.txt", "w") as out:
            out.write(f"{d} {f}\n" * 20)
PY
  sync
  python3 - "$work/mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(0, 200, 2):
    for f in range(0, 100, 10):
        os.remove(f"{root}/d{d:03}/file{f:03}.txt")
PY
  sync
  umount mnt
fi
cat many.img > /dev/null
t() { /usr/bin/time -f "%e s, peak %M KiB" "$@" 2>&1 >/dev/null | tail -1; }
echo "ext4, 1 GiB, 100,000 files in 200 folders, 1,000 deleted"
echo "  snapsave-cli scan --quick --list : $(rm -rf appdata; t "$cli" scan many.img --quick --fresh --list) ($(rm -rf appdata; "$cli" scan many.img --quick --fresh --list | grep -c '^file') files listed)"
echo "  fls -r -d -p                     : $(t fls -r -d -p many.img) ($(fls -r -d -p many.img | grep -c '^r/r \*') deleted names)"
