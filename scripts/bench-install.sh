#!/usr/bin/env bash
# The whole install of each scenario on a fresh simulated machine (Google Benchmark, optimised
# build): wall time against the pauses the path must make (mandated_ms). Target: at most 1.10
# times that sum; paths without pauses report their time as it is.
#
#   bash scripts/bench-install.sh [BENCHMARK-OPTIONS...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target install_bench >/dev/null
exec build/release/tests/bench/install_bench "$@"
