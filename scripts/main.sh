#!/usr/bin/env bash
# The main job: builds the product for the simulated machine, makes a fresh default machine
# (Windows 7 SP1 64-bit, English) with a sample USB printer plugged in, puts the sample driver
# package with Kelvane.exe on its C: drive and runs the installer there with a scripted user who
# presses Start and answers Yes; then opens the new printer's properties, where the user reads the
# printer's own settings on the driver's settings page, changes one and saves it; then shows what
# happened and where the screenshots are.
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
echo "== a new machine: Windows 7 SP1, 64-bit, English, with a Kelvane KV-1000 on USB =="
"$winsim" new "$machine"
"$winsim" plug "$machine" --device-id "MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;CLS:PRINTER;DES:Kelvane KV-1000;"

cp -r examples/package "$machine/C/Package"
cp build/release/bin/Kelvane.exe "$machine/C/Package/"
# The driver's 64-bit UI plug-in and the USB access library its settings page uses are built here.
cp build/release/bin/Dorvel.dll build/release/bin/x64/Trellum.dll "$machine/C/Package/Driver/"

# The user looks at the window, presses Start, answers Yes, watches the install and reads the
# result; the pictures are taken on the way.
cat > "$demo/user.txt" <<'SCRIPT'
box YES
shot window-at-start.png
click Image1
wait 520
shot window-installing.png
wait 3000
shot success-box.png
close Driver Setup
SCRIPT

echo
echo "== C:\\Package\\Kelvane.exe, started from the package folder =="
start=$(date +%s%N)
"$winsim" run "$machine" --cd 'C:\Package' --script "$demo/user.txt" 'C:\Package\Kelvane.exe'
echo "exit code $? after $(( ($(date +%s%N) - start) / 1000000 )) ms"

# The printer's properties, as a user opens them after the install.
cat > "$demo/properties.txt" <<'SCRIPT'
click "Read from printer"
box OK
choose 1073 "ON"
shot properties-changed.png
click "Save to printer"
box OK
type 1081 "1.5"
shot properties-saved.png
click OK
SCRIPT

echo
echo "== rundll32 printui.dll,PrintUIEntry /p /n \"Kelvane KV-1000\" =="
"$winsim" run "$machine" --script "$demo/properties.txt" \
  'C:\Windows\System32\rundll32.exe' printui.dll,PrintUIEntry /p /n 'Kelvane KV-1000'
echo "exit code $?"

echo
echo "== the message boxes =="
"$winsim" events "$machine" | grep '"type":"messagebox"' |
  python3 -c 'import json,sys
for l in sys.stdin:
    e = json.loads(l)
    print("[%s] %s -> %s" % (e["caption"], e["text"], e["answer"]))'

echo
echo "== the machine's printers now =="
"$winsim" show "$machine" | sed -n '/^printer/,/^driver/p' | grep -v '^driver'

echo
echo "== the printer's own settings now =="
"$winsim" usb "$machine" | grep items

echo
echo "== screenshots =="
for f in window-at-start window-installing success-box properties-changed properties-saved; do echo "$demo/$f.png"; done
echo
echo "The machine stays in $machine: look at it with '$winsim show $machine' and '$winsim events $machine'."
