#!/usr/bin/env bash
# Installs what the project needs, builds it and runs every test.
#   scripts/test.sh            the release build: all tests, benchmarks compiled
#   scripts/test.sh asan       the same suite under AddressSanitizer + UBSan
#   scripts/test.sh tsan       the same suite under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"

bash scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
