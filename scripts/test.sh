#!/usr/bin/env bash
# Everything CI runs: set-up, the Windows cross build, the optimised build, then the simulated-machine build with
# AddressSanitizer and UndefinedBehaviorSanitizer and all its tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/windows-build.sh

# The optimised build warns about things the debug build cannot see.
cmake --preset release >/dev/null
cmake --build --preset release

cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev -j"$(nproc)"
