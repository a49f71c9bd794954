#!/usr/bin/env bash
# Recovers the deleted files of the sample FAT32 image that ships with the tests, by a deep scan.
#   tools/recover-sample.sh path/to/snapsave-cli
# Writes ./recovered-sample and lists what it holds.
set -euo pipefail
cli=${1:?usage: $0 path/to/snapsave-cli}
here=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
gunzip -c "$here/tests/fixtures/fat/sample32.img.gz" > "$tmp/sample32.img"
"$cli" scan "$tmp/sample32.img" --fresh --recover ./recovered-sample
echo "Recovered into ./recovered-sample:"
find ./recovered-sample -type f -printf '  %P (%s bytes)\n' | sort
