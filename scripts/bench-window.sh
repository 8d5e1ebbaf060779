#!/usr/bin/env bash
# Speed of the installer's main window on a simulated machine (Google Benchmark, optimised
# build): start of Kelvane.exe to the first paint of its window (target: within 300 ms), and a
# port-list refresh with 16 USB printers plugged in and installed (target: under 100 ms; the USB
# library makes no pause of its own while listing).
#
#   bash scripts/bench-window.sh [BENCHMARK-OPTIONS...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j1 --target window_bench winsim-cli kelvane >/dev/null
exec build/release/tests/bench/window_bench "$@"
