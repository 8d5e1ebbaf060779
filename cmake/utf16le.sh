#!/bin/sh
# utf16le.sh IN OUT: UTF-8 text to UTF-16LE with a byte-order mark and CRLF line ends.
set -eu
tmp="$2.tmp"
printf '\377\376' > "$tmp"
sed 's/\r*$/\r/' "$1" | iconv -f UTF-8 -t UTF-16LE >> "$tmp"
mv "$tmp" "$2"
