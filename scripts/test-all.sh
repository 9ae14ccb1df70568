#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test: native unit tests,
# the same under AddressSanitizer + UBSan, then the Windows executable under Wine
# against loopback servers (nginx as the CDN, a fault-injecting server, a proxy).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
echo "== native build and unit tests"
cmake --preset linux -DYOXA_WERROR=ON >/dev/null
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux -j "$jobs" --output-on-failure

echo "== native downloader against loopback servers"
YOXA_NATIVE_BUILD="$PWD/build/linux" /usr/bin/python3 -m pytest tests/native -q -p no:cacheprovider

echo "== tools: publisher, terminal launcher, protocol schemas"
/usr/bin/python3 -m pytest tests/tools -q -p no:cacheprovider

echo "== sanitizer build and unit tests"
cmake --preset linux-asan -DYOXA_WERROR=ON >/dev/null
cmake --build build/linux-asan -j "$jobs"
ctest --test-dir build/linux-asan -j "$jobs" --output-on-failure

echo "== ThreadSanitizer build and unit tests"
cmake --preset linux-tsan -DYOXA_WERROR=ON >/dev/null
cmake --build build/linux-tsan -j "$jobs" --target unit_tests
ctest --test-dir build/linux-tsan -j "$jobs" --output-on-failure

echo "== libFuzzer targets: a short smoke run of each"
cmake --preset linux-fuzz -DYOXA_WERROR=ON >/dev/null
cmake --build build/linux-fuzz -j "$jobs"
bash bench/fuzz.sh 3

echo "== Windows builds: the product, and the same with the loopback CDN configuration"
cmake --preset windows -DYOXA_WERROR=ON >/dev/null
cmake --build build/windows -j "$jobs"
cmake --preset windows-test -DYOXA_WERROR=ON >/dev/null
cmake --build build/windows-test -j "$jobs"

echo "== Wine tests (on the test-configuration build)"
. scripts/wine-env.sh
YOXA_WINDOWS_BUILD="$PWD/build/windows-test" /usr/bin/python3 -m pytest tests/e2e -q -p no:cacheprovider
