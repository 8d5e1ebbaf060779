#!/usr/bin/env bash
# The main job: builds the product for the simulated machine, makes a fresh Windows 7 64-bit
# Chinese machine and runs the system probe inside it, as a 32-bit and as a 64-bit image.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release

winsim=build/release/platform/tools/winsim
machine=build/demo/machine
rm -rf build/demo
mkdir -p build/demo

echo
echo "== a new machine: Windows 7 SP1, 64-bit, Simplified Chinese =="
"$winsim" new "$machine" --version 6.1 --bits 64 --lang 2052

mkdir -p "$machine/C/probe"
cp build/release/tests/probe/sysprobe.exe build/release/tests/probe/sysprobe64.exe "$machine/C/probe/"

echo
echo "== C:\\probe\\sysprobe.exe (a 32-bit image, so it runs under WOW64) =="
"$winsim" run "$machine" 'C:\probe\sysprobe.exe'
echo
echo "== C:\\probe\\sysprobe64.exe (a 64-bit image) =="
"$winsim" run "$machine" 'C:\probe\sysprobe64.exe'
echo
echo "The machine stays in $machine: look at it with '$winsim show $machine'."
