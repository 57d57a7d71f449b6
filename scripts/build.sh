#!/usr/bin/env bash
# Installs what is missing, configures and builds into $BUILD_DIR (default: build/).
# Extra CMake arguments may be passed in $CMAKE_ARGS (for example -DZEL_SANITIZE=ON), and the
# targets to build in $TARGETS (default: everything).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_WERROR=ON ${CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j"$(nproc)" ${TARGETS:+--target $TARGETS}
