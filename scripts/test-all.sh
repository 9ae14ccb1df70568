#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test: native unit tests,
# the same under AddressSanitizer + UBSan, then the Windows executable under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
echo "== native build and unit tests"
cmake --preset linux -DYOXA_WERROR=ON >/dev/null
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux -j "$jobs" --output-on-failure

echo "== sanitizer build and unit tests"
cmake --preset linux-asan -DYOXA_WERROR=ON >/dev/null
cmake --build build/linux-asan -j "$jobs"
ctest --test-dir build/linux-asan -j "$jobs" --output-on-failure

echo "== Windows build"
cmake --preset windows -DYOXA_WERROR=ON >/dev/null
cmake --build build/windows -j "$jobs"

echo "== Wine tests"
. scripts/wine-env.sh
YOXA_WINDOWS_BUILD="$PWD/build/windows" /usr/bin/python3 -m pytest tests/e2e -q -p no:cacheprovider
