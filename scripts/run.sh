#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts it in the repository
# root with the given options (try --demo, or --help).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build --target trailcam -j "$(nproc)"
exec build/trailcam "$@"
