#!/usr/bin/env bash
# Installs what is missing, builds the tool, its tests and benchmarks, and runs
# the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh cmake make g++ libopencv-dev libgtest-dev libbenchmark-dev \
    xvfb xauth xdotool x11-utils clang-format

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTRAILCAM_WERROR=ON -DTRAILCAM_BENCHMARKS=ON
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure
