#!/usr/bin/env bash
# Builds everything and runs the whole test suite (C++, C host, Python).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
# Most tests wait on the unit's settling delays rather than on the CPU: run more than one per core.
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(( $(nproc) * 3 ))" --timeout 600
