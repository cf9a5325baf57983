#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds, and runs the whole
# suite (under Xvfb without a display), then the unit tests under ASan and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build test

echo "== formatting"
git ls-files -co --exclude-standard '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# Testing on explicitly: run.sh may have configured the same build folder
# without it. The tool's objects are compiled with run.sh's flags, so only
# the tests and benchmarks are compiled after it.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DTRAILCAM_WERROR=ON -DTRAILCAM_BENCHMARKS=ON
cmake --build build -j "$(nproc)"
# Line tables only: enough for the sanitizers' reports, quicker to build and link.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DBUILD_TESTING=ON \
    -DTRAILCAM_WERROR=ON -DTRAILCAM_SANITIZE=ON
cmake --build build-sanitize --target unit_tests -j "$(nproc)"

echo "== tests"
display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24")
"${display[@]}" ctest --test-dir build --output-on-failure --no-tests=error -j 2
echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# A refused 32 GB table must come back as null, as it does without the sanitizer.
ASAN_OPTIONS=allocator_may_return_null=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    ctest --test-dir build-sanitize -L unit --output-on-failure --no-tests=error
