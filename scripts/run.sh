#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts it in the repository
# root with the given options (try --demo, or --help).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build
# The compile flags scripts/test.sh uses too (warnings as errors), so that
# either script reuses what the other built.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTRAILCAM_WERROR=ON
cmake --build build --target trailcam -j "$(nproc)"
exec build/trailcam "$@"
