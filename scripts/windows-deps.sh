#!/usr/bin/env bash
# The picture loader's libraries for the Windows build: static mingw-w64 copies of libpng,
# libjpeg-turbo and giflib, cross-compiled from Debian's source packages with the compilers of
# cmake/mingw-*.cmake (zlib is Debian's ready-made libz-mingw-w64-dev). Each target gets
# DEST/<triplet>/{include,lib}.
#
#   bash scripts/windows-deps.sh DEST [TRIPLET...]   (TRIPLET: i686-w64-mingw32, x86_64-w64-mingw32;
#                                                     both when none is named)
#
# A target is built again only when its key changes: the newest source version apt offers for
# each library, the installed zlib, the compiler and this script. A cached target costs no
# download. Only the libraries are built (no tools, tests or documents), without libjpeg-turbo's
# SIMD code, which would need an assembler; a picture of a skin decodes in no time without it.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: windows-deps.sh DEST [TRIPLET...]" >&2; exit 2; }
dest=$(realpath -m "$1")
shift
cd "$(dirname "$0")/.."
root=$PWD
triplets=("$@")
((${#triplets[@]})) || triplets=(i686-w64-mingw32 x86_64-w64-mingw32)

say() { echo "windows deps: $*"; }
die() {
  echo "windows deps: $*" >&2
  exit 1
}

sources=(libpng1.6 libjpeg-turbo giflib)

# The source versions apt offers for a package, newest first.
offered() {
  local v vs=() sorted=() i
  while read -r v; do vs+=("$v"); done < <(apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
  for v in "${vs[@]}"; do  # insertion sort by Debian's version order: a handful of entries
    for ((i = ${#sorted[@]}; i > 0; i--)); do
      dpkg --compare-versions "$v" gt "${sorted[i - 1]}" || break
      sorted[i]=${sorted[i - 1]}
    done
    sorted[i]=$v
  done
  printf '%s\n' "${sorted[@]}"
}

declare -A versions
for p in "${sources[@]}"; do
  versions[$p]=$(offered "$p")
  [ -n "${versions[$p]}" ] || die "apt knows no source package $p: run scripts/setup.sh (it adds Debian's source entries)"
done

key_of() {  # key_of TRIPLET
  local p
  for p in "${sources[@]}"; do echo "$p $(head -1 <<<"${versions[$p]}")"; done
  echo "libz-mingw-w64-dev $(dpkg-query -W -f='${Version}' libz-mingw-w64-dev 2>/dev/null || echo none)"
  "$1-gcc-posix" --version | head -1
  echo "script $(sha256sum <"$root/scripts/windows-deps.sh" | cut -d' ' -f1)"
}

versions_of() { sed 's/ /=/' "$1/versions" | paste -sd, | sed 's/,/, /g'; }

todo=()
for t in "${triplets[@]}"; do
  case $t in
    i686-w64-mingw32 | x86_64-w64-mingw32) ;;
    *) die "unknown target $t" ;;
  esac
  [ -f "/usr/$t/lib/libz.a" ] || die "no zlib for $t: run scripts/setup.sh (libz-mingw-w64-dev)"
  if [ -f "$dest/$t/key" ] && [ "$(cat "$dest/$t/key")" = "$(key_of "$t")" ]; then
    say "$t cached in $dest/$t ($(versions_of "$dest/$t"))"
  else
    todo+=("$t")
  fi
done
((${#todo[@]})) || exit 0

start=$(date +%s)
mkdir -p "$dest"
# A work folder of its own, so that two builds sharing the cache do not meet halfway.
work=$(mktemp -d "$dest/.work.XXXXXX")
mkdir -p "$work/src"
trap 'rm -rf "$work"' EXIT

# The sources, once for every target: the newest version apt offers, or when the archive that
# offers it cannot deliver it (security updates sometimes lag on mirrors), the next one.
declare -A srcdir built
for p in "${sources[@]}"; do
  for v in ${versions[$p]}; do
    if (cd "$work/src" && apt-get source -qq "$p=$v" >>"$work/apt.log" 2>&1); then
      built[$p]=$v
      break
    fi
    say "$p $v could not be fetched, trying an older version"
    find "$work/src" -mindepth 1 -maxdepth 1 -name "${p}[_-]*" -exec rm -rf {} +
  done
  [ -n "${built[$p]:-}" ] || {
    cat "$work/apt.log" >&2
    die "no source of $p could be fetched"
  }
  srcdir[$p]=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name "${p}-*" | head -1)
  [ -d "${srcdir[$p]}" ] || die "apt-get source unpacked no folder for $p"
done

for t in "${todo[@]}"; do
  toolchain=$root/cmake/mingw-${t%%-*}.cmake
  b=$work/$t
  prefix=$b/prefix
  mkdir -p "$prefix/include" "$prefix/lib"
  # An install prefix on this host: libjpeg-turbo's default for Windows is a drive letter.
  cmake_args=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix")
  log=$b/build.log

  # libpng: its own CMake build, the static library only; zlib.h comes from the target's root.
  if ! {
    cmake -S "${srcdir[libpng1.6]}" -B "$b/png" "${cmake_args[@]}" \
      -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF &&
      cmake --build "$b/png" --target png_static
  } >>"$log" 2>&1; then
    cat "$log" >&2
    die "libpng for $t did not build"
  fi
  cp "${srcdir[libpng1.6]}"/{png.h,pngconf.h} "$b/png/pnglibconf.h" "$prefix/include/"
  cp "$b/png/libpng16.a" "$prefix/lib/"

  # libjpeg-turbo: the libjpeg API as a static library, without SIMD and the TurboJPEG API.
  if ! {
    cmake -S "${srcdir[libjpeg-turbo]}" -B "$b/jpeg" "${cmake_args[@]}" \
      -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF &&
      cmake --build "$b/jpeg" --target jpeg-static
  } >>"$log" 2>&1; then
    cat "$log" >&2
    die "libjpeg-turbo for $t did not build"
  fi
  cp "${srcdir[libjpeg-turbo]}"/{jpeglib.h,jerror.h,jmorecfg.h} "$b/jpeg/jconfig.h" "$prefix/include/"
  cp "$b/jpeg/libjpeg.a" "$prefix/lib/"

  # giflib: its own makefile's static library rule, in a copy of the sources per target.
  cp -r "${srcdir[giflib]}" "$b/gif"
  if ! make -C "$b/gif" libgif.a CC="$t-gcc-posix" AR="$t-ar" \
    CFLAGS="-std=gnu99 -O2 -Wall -Wno-format-truncation" >>"$log" 2>&1; then
    cat "$log" >&2
    die "giflib for $t did not build"
  fi
  cp "$b/gif/gif_lib.h" "$prefix/include/"
  cp "$b/gif/libgif.a" "$prefix/lib/"

  for p in "${sources[@]}"; do echo "$p ${built[$p]}"; done >"$prefix/versions"
  key_of "$t" >"$prefix/key"  # last: a target with a key is complete
  rm -rf "${dest:?}/$t"
  mv "$prefix" "$dest/$t"
  say "$t built in $dest/$t ($(versions_of "$dest/$t"))"
done
say "built in $(($(date +%s) - start)) s"
