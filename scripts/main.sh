#!/usr/bin/env bash
# The main job: builds the product for the simulated machine, makes a fresh default machine
# (Windows 7 SP1 64-bit, English), puts the sample driver package with Kelvane.exe on its C:
# drive and runs the installer there with a scripted user, then shows what happened.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release

winsim=build/release/platform/tools/winsim
demo=build/demo
machine=$demo/machine
rm -rf "$demo"
mkdir -p "$demo"

echo
echo "== a new machine =="
"$winsim" new "$machine"

cp -r examples/package "$machine/C/Package"
cp build/release/bin/Kelvane.exe "$machine/C/Package/"

# The user looks at what the installer staged, at its PATH, then closes the window.
cat > "$demo/user.txt" <<'SCRIPT'
look C:\Users\Administrator\AppData\Local\Temp\PrinterSetup
env PATH
close Driver Setup
SCRIPT

echo
echo "== C:\\Package\\Kelvane.exe, started from the package folder =="
"$winsim" run "$machine" --script "$demo/user.txt" 'C:\Package\Kelvane.exe'
echo "exit code $?"

echo
echo "== what happened (events.jsonl) =="
"$winsim" events "$machine"

echo
echo "== the temporary folder after exit =="
ls -A "$machine/C/Users/Administrator/AppData/Local/Temp"
echo "(empty: the staging folder, its PrinterSetup parent and the name's reservation file went at exit)"
echo
echo "The machine stays in $machine: look at it with '$winsim show $machine'."
