#!/usr/bin/env bash
# Installs what building, testing and making fixtures need on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libfmt-dev libutfcpp-dev libcli11-dev nlohmann-json3-dev \
  zlib1g-dev libjpeg62-turbo-dev libminizip-dev libflac-dev libbz2-dev liblzma-dev libstb-dev libinih-dev libblkid-dev libudev-dev libewf-dev libvhdi-dev libvmdk-dev libqcow-dev libfuse3-dev fuse3 liblzo2-dev libzstd-dev \
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth \
  dpkg-dev file lintian man-db dosfstools fdisk mtools ntfs-3g sleuthkit xz-utils zip imagemagick ffmpeg qemu-utils ewf-tools gddrescue \
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 >/dev/null
