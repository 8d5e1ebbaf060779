#!/usr/bin/env bash
# Everything CI runs: set-up, the Windows cross build, then the simulated-machine build with
# AddressSanitizer and UndefinedBehaviorSanitizer and all its tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/windows-build.sh

cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev -j"$(nproc)"
