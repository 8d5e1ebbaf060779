#!/usr/bin/env bash
# Cross-compiles every Windows image (32-bit and 64-bit) with mingw-w64, after the picture
# loader's libraries (scripts/windows-deps.sh), and checks that each file is a PE image of the
# bitness it must have. KELVANE_DEPS_CACHE names another folder for those libraries.
set -euo pipefail
cd "$(dirname "$0")/.."

check() {  # check FILE pei-i386|pei-x86-64
  local f=$1 want=$2 fmt
  [ -f "$f" ] || { echo "windows build: $f is missing" >&2; exit 1; }
  fmt=$(x86_64-w64-mingw32-objdump -f "$f" | sed -n 's/.*file format \(.*\)/\1/p')
  [ "$fmt" = "$want" ] || { echo "windows build: $f is $fmt, expected $want" >&2; exit 1; }
  echo "windows build: $f ($fmt)"
}

# The picture loader's libraries, cross-compiled once and kept outside the build folders (and
# the clone), so that a fresh clone or a new build folder reuses them.
deps=${KELVANE_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvane/windows-deps}
bash scripts/windows-deps.sh "$deps" i686-w64-mingw32 x86_64-w64-mingw32

# The 64-bit images first: the 32-bit installer carries two of them.
cmake --preset win64 -DKELVANE_PICTURES=ON -DKELVANE_WINDOWS_DEPS="$deps/x86_64-w64-mingw32" >/dev/null
cmake --build --preset win64
cmake --preset win32 -DKELVANE_PICTURES=ON -DKELVANE_WINDOWS_DEPS="$deps/i686-w64-mingw32" \
  -DKELVANE_WIN64_BIN="$PWD/build/win64/bin" >/dev/null
cmake --build --preset win32

check build/win32/tests/probe/sysprobe.exe pei-i386
check build/win64/tests/probe/sysprobe64.exe pei-x86-64
check build/win32/bin/Kelvane.exe pei-i386
check build/win32/bin/DebugLogViewer.exe pei-i386
check build/win32/bin/pindle.dll pei-i386
check build/win32/bin/Trellum.dll pei-i386
check build/win64/bin/pindle64.dll pei-x86-64
check build/win64/bin/Trellum.dll pei-x86-64
check build/win64/bin/Ralto64.exe pei-x86-64
check build/win64/bin/Dorvel.dll pei-x86-64
check build/win64/tests/wine/dorvelcheck.exe pei-x86-64
check build/win32/tests/wine/winecheck.exe pei-i386
check build/win64/tests/wine/winecheck64.exe pei-x86-64
check build/win32/tests/wine/winsim_conformance.exe pei-i386
