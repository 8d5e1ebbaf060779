#!/usr/bin/env bash
# Runs the Windows build (scripts/windows-build.sh) under Wine in a virtual X server, in a fresh
# Wine prefix each time: the installer started from a copy of the sample package stages its four
# components and its language file, shows its window "Driver Setup" and removes what it staged
# when the window is closed; without its configuration it shows the error box; every library
# loads in its own bitness with its exports and is refused in the other one; the plug-in hands
# out its class through DllGetClassObject; the picture loader decodes PNG, JPEG, GIF and BMP
# files and refuses damaged ones in both bitnesses; then winsim's
# conformance tests run against Wine. Screenshots of the window and the box land in build/wine/.
#
#   bash scripts/wine-smoke.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

out=$root/build/wine
rm -rf "$out"
mkdir -p "$out"
export WINEPREFIX=$out/prefix
export WINEDEBUG=-all
# No Mono or Gecko: they are not installed, and Wine would ask for them in a dialog.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 LC_ALL=C.UTF-8

failures=0
say() { echo "wine smoke: $*"; }
bad() {
  echo "wine smoke: FAILED: $*" >&2
  failures=$((failures + 1))
}

# One virtual X server for the whole run, on a free display.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" &
xvfb_pid=$!
kelvane_pid=
cleanup() {
  [ -n "$kelvane_pid" ] && kill "$kelvane_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -s "$out/display" ] && break
  sleep 0.1
done
[ -s "$out/display" ] || { echo "wine smoke: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$out/display")

start=$(date +%s)
wineboot -i >"$out/wineboot.log" 2>&1
wineserver -w
say "fresh prefix in $(($(date +%s) - start)) s"

drive_c=$WINEPREFIX/drive_c
check32=build/win32/tests/wine/winecheck.exe
check64=build/win64/tests/wine/winecheck64.exe

# check BITS ARGS...: runs the checker of that bitness; it must have run and said so.
check() {
  local bits=$1 exe=$check32
  shift
  [ "$bits" = 64 ] && exe=$check64
  local text status=0
  text=$(wine "$exe" "$@" 2>>"$out/wine.log") || status=$?
  text=${text//$'\r'/}  # a Windows console program ends its lines with CR LF
  printf '%s\n' "$text" >>"$out/checks.log"
  CHECK_OUTPUT=$text
  if ! grep -qx "winecheck $bits: ok" <<<"$text"; then
    bad "winecheck ($bits-bit) $* (exit $status): ${text:-no output at all}"
    return 1
  fi
}

# A PNG of the part of the screen that the last check's window covers ("rect X Y WIDTH HEIGHT").
screenshot() {  # screenshot FILE
  local rect
  rect=$(sed -n 's/^rect //p' <<<"$CHECK_OUTPUT")
  # shellcheck disable=SC2086  # the four numbers are separate words
  xwd -silent -root | xwdtopnm 2>/dev/null | pnmcut $rect 2>/dev/null | pnmtopng >"$1" 2>/dev/null || true
  [ -s "$1" ] && say "screenshot $1" || bad "no screenshot $1"
}

# Everything in the temporary folder of the prefix's user, as paths below it.
temp_dir=$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')" 2>/dev/null)
[ -d "$temp_dir" ] || { echo "wine smoke: no temporary folder (${temp_dir:-none})" >&2; exit 1; }
temp_listing() { (cd "$temp_dir" && find . -mindepth 1 | sort); }

# --- The libraries, each in its own bitness and refused by the other ----------------------------
while read -r bits dll names; do
  [[ -z "$bits" || "$bits" == \#* ]] && continue
  other=$((bits == 32 ? 64 : 32))
  cp "$dll" "$drive_c/"
  name=$(basename "$dll")
  # shellcheck disable=SC2086  # the export names are separate words
  check "$bits" exports "C:\\$name" $names && say "$name loads ($bits-bit) with ${names:-no exports}" || true
  check "$other" refuses "C:\\$name" && say "$name refused by the $other-bit checker with 193" || true
done <tests/wine/exports.txt

# loads in its own bitness with its exports and is refused in the other one; the plug-in hands
# out its class through DllGetClassObject; the picture loader decodes PNG, JPEG, GIF and BMP
# files and refuses damaged ones in both bitnesses; then winsim's

# --- The installer from the sample package ------------------------------------------------------
pkg=$drive_c/Package
cp -r examples/package "$pkg"
cp build/win32/bin/Kelvane.exe "$pkg/"
before=$(temp_listing)

(cd "$pkg" && exec wine Kelvane.exe >>"$out/wine.log" 2>&1) &
kelvane_pid=$!
if check 32 wait "Driver Setup" 60; then
  say "the window \"Driver Setup\" shows"
  staging=$(find "$temp_dir/PrinterSetup" -mindepth 1 -maxdepth 1 -type d -name 'tmp*' 2>/dev/null)
  if [ "$(wc -w <<<"$staging")" != 1 ]; then
    bad "expected one staging folder under $temp_dir/PrinterSetup, found: ${staging:-none}"
  else
    for f in pindle.dll:build/win32/bin/pindle.dll Trellum.dll:build/win32/bin/Trellum.dll \
      pindle64.dll:build/win64/bin/pindle64.dll Ralto64.exe:build/win64/bin/Ralto64.exe \
      Lang/Strings.ini:build/win32/gen/lang/Strings_EN.ini; do
      if cmp -s "$staging/${f%%:*}" "${f#*:}"; then
        say "staged ${f%%:*}"
      else
        bad "${f%%:*} is not staged as built (in $staging)"
      fi
    done
  fi
  sleep 1
  screenshot "$out/window.png"
  check 32 close "Driver Setup" && say "WM_CLOSE sent" || true
fi
if timeout 30 tail --pid="$kelvane_pid" -f /dev/null; then
  wait "$kelvane_pid" || bad "Kelvane.exe exited with $?"
else
  bad "Kelvane.exe still runs 30 s after WM_CLOSE"
  kill "$kelvane_pid" 2>/dev/null || true
fi
kelvane_pid=
after=$(temp_listing)
if [ "$after" = "$before" ]; then
  say "nothing left in the temporary folder"
else
  bad "the temporary folder changed: $(diff <(echo "$before") <(echo "$after") | grep '^[<>]' | tr '\n' ' ')"
fi

# --- Without its configuration: the error box ---------------------------------------------------
mkdir -p "$drive_c/Bare"
cp build/win32/bin/Kelvane.exe "$drive_c/Bare/"
(cd "$drive_c/Bare" && exec wine Kelvane.exe >>"$out/wine.log" 2>&1) &
kelvane_pid=$!
if check 32 box "出錯了" 60; then
  want_text='安装配置文件（C:\Bare\Kelvane.ini）不存在，程序退出！'
  grep -qxF "caption: 出錯了" <<<"$CHECK_OUTPUT" || bad "box caption: $CHECK_OUTPUT"
  grep -qxF "text: $want_text" <<<"$CHECK_OUTPUT" && say "the missing-configuration box reads: $want_text" ||
    bad "box text, expected \"$want_text\": $CHECK_OUTPUT"
  sleep 1
  screenshot "$out/box.png"
  check 32 close "出錯了" || true
fi
if timeout 30 tail --pid="$kelvane_pid" -f /dev/null; then
  wait "$kelvane_pid" || true
else
  bad "Kelvane.exe still runs 30 s after its box was closed"
  kill "$kelvane_pid" 2>/dev/null || true
fi
kelvane_pid=
[ "$(temp_listing)" = "$before" ] || bad "the run without configuration left files in the temporary folder"

# --- winsim's conformance tests against Wine ----------------------------------------------------
# The process tests start sayit.exe from System32, which a 32-bit program finds in SysWOW64.
cp build/win32/tests/wine/sayit.exe "$drive_c/windows/system32/"
cp build/win32/tests/wine/sayit.exe "$drive_c/windows/syswow64/"
for t in build/win32/tests/wine/winsim_conformance.exe; do
  log=$out/$(basename "$t" .exe).log
  # A crash brings up Wine's debugger, which waits for ever: the run is given five minutes.
  if timeout 300 wine "$t" --gtest_brief=1 >"$log" 2>&1 && grep -q '^\[  PASSED  \]' "$log"; then
    say "$(basename "$t"): $(grep -E '^\[  (PASSED|SKIPPED) ' "$log" | tr '\n' ' ')"
  else
    bad "$(basename "$t"), see $log: $(grep -E '^\[  FAILED  \]' "$log" | head -5 | tr '\n' ' ')"
  fi
done

if ((failures)); then
  echo "wine smoke: $failures check(s) failed; logs in $out" >&2
  exit 1
fi
say "all checks passed in $(($(date +%s) - start)) s"
