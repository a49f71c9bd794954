#!/usr/bin/env bash
# The Debian packages of a release build, as a user meets them: made with cpack, checked by lintian,
# installed with apt, run (version, manual page, completion, the sample recovery through the installed
# program), removed, and nothing they installed left behind.
#   tools/package-check.sh [build folder]   (default: build; run as root, or with sudo at hand)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-build}")
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
cd "$build"
debs=(snapsave-cli_*.deb)
[ -e snapsave_*.deb ] && debs+=(snapsave_*.deb)
echo "packages: ${debs[*]}"
for deb in "${debs[@]}"; do dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/  \1:/p'; done

if command -v lintian >/dev/null; then
  echo "lintian:"
  lintian --tag-display-limit 0 --display-info "${debs[@]}" 2>/dev/null | sed 's/^/  /' || true
fi

installed=$(mktemp)
trap 'rm -f "$installed"' EXIT
for deb in "${debs[@]}"; do dpkg-deb --contents "$deb" | awk '{print substr($6, 2)}' | grep -v '/$' >>"$installed"; done
$SUDO apt-get install -y -qq "${debs[@]/#/./}" >/dev/null

snapsave-cli --version
# Some minimal systems tell dpkg to leave manual pages out; there only the package's own list can show it.
if grep -qs 'path-exclude[= ]*/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  dpkg -L snapsave-cli | grep -q '/usr/share/man/man1/snapsave-cli.1.gz'
else
  man -w snapsave-cli
fi
[ -f /usr/share/bash-completion/completions/snapsave-cli ]
work=$(mktemp -d)
(cd "$work" && "$here/tools/recover-sample.sh" "$(command -v snapsave-cli)" | tail -n +2 >/dev/null &&
  [ -n "$(find recovered-sample -type f)" ]) || { echo "the installed snapsave-cli recovered nothing"; exit 1; }
rm -rf "$work"

names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb --field "$deb" Package)"); done
$SUDO apt-get remove -y -qq --purge "${names[@]}" >/dev/null
left=0
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    echo "left behind: $path"
    left=1
  fi
done <"$installed"
[ "$left" -eq 0 ]
echo "installed, ran and removed cleanly: ${names[*]}"
