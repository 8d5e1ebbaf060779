#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine. Safe to run again: it installs only what
# is missing, and runs apt-get update first when it has to install anything or apt does not yet
# know the source packages that the Windows build compiles.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev nlohmann-json3-dev libbenchmark-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  googletest
  # The picture loader: PNG (with zlib), JPEG and GIF; cjpeg remakes the JPEG test pictures.
  libpng-dev zlib1g-dev libjpeg62-turbo-dev libgif-dev libjpeg-turbo-progs
  # The picture loader's libraries for the Windows build (scripts/windows-deps.sh): zlib ready
  # made, libpng, libjpeg-turbo and giflib cross-compiled from Debian's source packages, which
  # apt-get source (dpkg-dev) fetches and unpacks.
  libz-mingw-w64-dev dpkg-dev
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

# apt-get source needs source entries: Debian 12 ships with binary ones only. Ours name the
# release's own suites, so the sources match the libraries of the machine's own release.
src_list=/etc/apt/sources.list.d/kelvane-sources.sources
if [ ! -f "$src_list" ]; then
  echo "setup: adding Debian 12 source package entries ($src_list)"
  "${sudo_cmd[@]}" tee "$src_list" >/dev/null <<'LIST'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
LIST
fi
# Until apt-get update has read them, apt knows no source packages.
need_update=0
apt-cache showsrc libpng1.6 2>/dev/null | grep -q '^Package:' || need_update=1

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]} || need_update)); then
  "${sudo_cmd[@]}" apt-get update -qq
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
