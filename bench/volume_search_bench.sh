#!/usr/bin/env bash
# What looking for lost volumes costs. A 2 GiB whole-disk image built here: random data with the MBR test
# disk (FAT16, FAT32, NTFS, ext4) at its start, its partition table wiped. With the page cache warm it is read
# by `cat` (the read limit), searched alone (`list IMAGE --search`), and deep-scanned by snapsave-cli, whose
# pass looks for the volumes as it reads; with a second build (one from before the search) the same deep scan
# without it, alternated with this build's, so that the search's share of the pass shows. Best of three runs.
#
#   bench/volume_search_bench.sh path/to/snapsave-cli [path/to/baseline-snapsave-cli] [work folder]
#   (default work folder /tmp/snapsave-volume-search-bench)
# Needs: python3, gzip, GNU time.
set -euo pipefail
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
cli=$(realpath "${1:?usage: $0 path/to/snapsave-cli [baseline snapsave-cli] [work folder]}")
baseline=${2:+$(realpath "$2")}
work=${3:-/tmp/snapsave-volume-search-bench}
mkdir -p "$work"
cd "$work"
export XDG_DATA_HOME="$work/appdata"

if [ ! -e disk.img ]; then
  echo "building disk.img ..."
  head -c 2G /dev/urandom >disk.img
  gzip -dc "$here/../tests/fixtures/disk/mbr.img.gz" | dd of=disk.img conv=notrunc status=none
  dd if=/dev/zero of=disk.img bs=512 count=2048 conv=notrunc status=none
fi
bytes=$(stat -c %s disk.img)
cat disk.img >/dev/null

# Seconds of the best of three runs of a command.
best() {
  local best_s=""
  for _ in 1 2 3; do
    /usr/bin/time -f %e -o time.txt "$@" >/dev/null 2>&1 || true
    local s
    s=$(cat time.txt)
    if [ -z "$best_s" ] || python3 -c "import sys; sys.exit(0 if $s < $best_s else 1)"; then best_s=$s; fi
  done
  echo "$best_s"
}
rate() { python3 -c "print(f'{$bytes / max($1, 1e-3) / 1e6:.0f} MB/s')"; }

t_cat=$(best cat disk.img)
t_search=$(best "$cli" list disk.img --search)
t_deep=$(best "$cli" scan disk.img --list --fresh)
printf '%-44s %7s s  %s\n' "cat" "$t_cat" "$(rate "$t_cat")"
printf '%-44s %7s s  %s\n' "list --search (the search alone)" "$t_search" "$(rate "$t_search")"
printf '%-44s %7s s  %s\n' "deep scan, search in its pass" "$t_deep" "$(rate "$t_deep")"
found=$("$cli" list disk.img --search --json 2>/dev/null | grep -c '"kind":"found"' || true)
echo "volumes found by the search: $found (4 expected)"
if [ -n "$baseline" ]; then
  t_base=$(best "$baseline" scan disk.img --list --fresh)
  t_deep2=$(best "$cli" scan disk.img --list --fresh)
  t_base2=$(best "$baseline" scan disk.img --list --fresh)
  printf '%-44s %7s s, %s s\n' "deep scan, baseline build (no search)" "$t_base" "$t_base2"
  printf '%-44s %7s s, %s s\n' "deep scan, this build (again)" "$t_deep" "$t_deep2"
  python3 -c "
a = min($t_deep, $t_deep2); b = min($t_base, $t_base2)
print(f'search share of the deep scan: {100 * (a - b) / b:+.1f} % (goal: within 10 %)')"
fi
