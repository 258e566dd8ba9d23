#!/usr/bin/env bash
# Builds Kelvarix and runs every test, as released and under the sanitizers;
# our own builds treat warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

run_suite() {
    local dir=$1; shift
    cmake -G Ninja -S . -B "$dir" -DKELVARIX_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

echo "== release build and tests"
run_suite build -DCMAKE_BUILD_TYPE=Release
echo "== metrics endpoint and kelvarix-trace against promtool, Prometheus and a real run"
BUILD=build bash scripts/test-metrics.sh
echo "== Debian package: lintian, install, sandboxed run, removal"
BUILD=build bash scripts/test-package.sh
echo "== crash loop: the gateway killed 100 times with its alarm store on"
BUILD=build bash scripts/test-crash.sh
echo "== sanitizer build and tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKELVARIX_SANITIZE=ON
echo "== fuzz targets, briefly (scripts/fuzz.sh SECONDS runs them longer)"
bash scripts/fuzz.sh "${KELVARIX_FUZZ_SECONDS:-15}"
bash scripts/test-windows.sh
