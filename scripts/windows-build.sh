#!/usr/bin/env bash
# Cross-compiles every Windows image (32-bit and 64-bit) with mingw-w64 and checks that each file
# is a PE image of the bitness it must have.
set -euo pipefail
cd "$(dirname "$0")/.."

check() {  # check FILE pei-i386|pei-x86-64
  local f=$1 want=$2 fmt
  [ -f "$f" ] || { echo "windows build: $f is missing" >&2; exit 1; }
  fmt=$(x86_64-w64-mingw32-objdump -f "$f" | sed -n 's/.*file format \(.*\)/\1/p')
  [ "$fmt" = "$want" ] || { echo "windows build: $f is $fmt, expected $want" >&2; exit 1; }
  echo "windows build: $f ($fmt)"
}

for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

check build/win32/tests/probe/sysprobe.exe pei-i386
check build/win64/tests/probe/sysprobe64.exe pei-x86-64
