#!/usr/bin/env bash
# Runs the Windows build of snapsave-cli under Wine on the sample image and on FAT, NTFS, exFAT and ext4
# fixtures, and compares what it recovers with what the Linux build recovers, byte for byte.
#   tools/windows-check.sh build-win/cli/snapsave-cli.exe build-release/cli/snapsave-cli
set -euo pipefail
win=$(realpath "${1:?usage: $0 snapsave-cli.exe linux-snapsave-cli}")
linux=$(realpath "${2:?usage: $0 snapsave-cli.exe linux-snapsave-cli}")
here=$(cd "$(dirname "$0")/.." && pwd)
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Names beyond ASCII, in a folder and in the root, deleted: UTF-8 on the card, UTF-16 on Windows.
mkdir -p "$tmp/made"
dd if=/dev/zero of="$tmp/made/unicode.img" bs=1M count=34 status=none
mformat -i "$tmp/made/unicode.img" -F -v UNICODE ::
printf 'caf\xc3\xa9 au lait\n' > "$tmp/made/a.txt"
head -c 70000 /dev/urandom > "$tmp/made/b.bin"
export LC_ALL=C.UTF-8
mmd -i "$tmp/made/unicode.img" "::Fotos Août"
mcopy -i "$tmp/made/unicode.img" "$tmp/made/a.txt" "::Café 日本.txt"
mcopy -i "$tmp/made/unicode.img" "$tmp/made/b.bin" "::Fotos Août/Ölbild – été.bin"
mdel -i "$tmp/made/unicode.img" "::Café 日本.txt" "::Fotos Août/Ölbild – été.bin"

status=0
for fixture in fat/sample32 fat/fat32 fat/names ntfs/ntfs_small exfat/small ext/card made/unicode; do
  name=${fixture#*/}
  if [ "$fixture" = made/unicode ]; then
    cp "$tmp/made/unicode.img" "$tmp/$name.img"
  else
    gunzip -c "$here/tests/fixtures/$fixture.img.gz" > "$tmp/$name.img"
  fi
  XDG_DATA_HOME="$tmp/linux-data" "$linux" scan "$tmp/$name.img" --fresh --recover "$tmp/linux/$name" \
    > /dev/null 2> "$tmp/linux-$name.err" || true
  # Wine shows the build machine's files on drive Z:.
  SNAPSAVE_APPDATA="Z:$tmp/win-data" "$wine" "$win" scan "Z:$tmp/$name.img" --fresh --recover "Z:$tmp/win/$name" \
    > /dev/null 2> "$tmp/win-$name.err" || true
  # The recovery reports name each build's own paths and times; the recovered files must be identical.
  files=$(find "$tmp/linux/$name" -type f ! -name 'report.*' 2>/dev/null | wc -l)
  if [ "$files" -gt 0 ] && diff -r -x report.xml -x report.json "$tmp/linux/$name" "$tmp/win/$name" > "$tmp/diff-$name"; then
    echo "$fixture: $files files, identical"
    [ "$fixture" = made/unicode ] && (cd "$tmp/win/$name" && find . -type f ! -name 'report.*' | sort | sed 's/^/    /')
  else
    echo "$fixture: DIFFERENT ($files files from the Linux build)"
    head -20 "$tmp/diff-$name" "$tmp/win-$name.err" || true
    status=1
  fi
done
exit $status
