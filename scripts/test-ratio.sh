#!/usr/bin/env bash
# Lines of test code (tests/ and fuzz/) against the rest of the C/C++ code,
# counting the C, C++ and Objective-C++ sources and headers that git tracks.
set -euo pipefail
cd "$(dirname "$0")/.."
sources() { git ls-files | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp|hxx|ipp|mm)$' || true; }
count() { xargs -r cat -- 2>/dev/null | wc -l; }
tests=$(sources | grep -E '^(tests|fuzz)/' | count)
rest=$(sources | grep -v -E '^(tests|fuzz)/' | count)
awk -v t="$tests" -v r="$rest" 'BEGIN {
  printf "tests and fuzzers: %d lines\nthe rest:          %d lines\nratio:             %.1f%%\n", t, r, (r ? 100 * t / r : 0)
}'
