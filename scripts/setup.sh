#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine. Safe to run again: it installs only what
# is missing, and runs apt-get update first when it has to install anything.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev nlohmann-json3-dev libbenchmark-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  googletest
  # The picture loader: PNG (with zlib), JPEG and GIF; cjpeg remakes the JPEG test pictures.
  libpng-dev zlib1g-dev libjpeg62-turbo-dev libgif-dev libjpeg-turbo-progs
  # winsim's text: FreeType, Wine's Tahoma-metric font (DejaVu as a stand-in), a CJK font.
  libfreetype-dev fonts-wine fonts-dejavu-core fonts-wqy-microhei
  # The Windows build runs under Wine in a virtual X server; xwd and netpbm save its screenshots.
  wine wine32:i386 wine64 xvfb xauth x11-apps netpbm
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# wine32 is an i386 package: the machine must accept that architecture before apt-get update.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
