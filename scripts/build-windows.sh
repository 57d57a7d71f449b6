#!/usr/bin/env bash
# Cross-builds the Windows version with MinGW-w64 into $BUILD_DIR (default: build-windows/):
# ZEL_API.dll and its import library ZEL_API.dll.a, zelctl.exe, zel-unit-sim.exe and the Windows
# tests. Installs what is missing and fetches the sources of the decimal library and of the HTTP library first.
# Extra CMake arguments may be passed in $CMAKE_ARGS (for example -DZEL_BUILD_TESTS=OFF), and the
# targets to build in $TARGETS (default: everything, and then the zip ZEL_API-<version>-win64.zip).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-windows-deps.sh
BUILD_DIR=${BUILD_DIR:-build-windows}
decimal=$(scripts/fetch-decimal-source.sh "$BUILD_DIR/_deps/intelrdfpmath")
httplib=$(scripts/fetch-httplib-source.sh "$BUILD_DIR/_deps/cpp-httplib")
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEL_WERROR=ON -DZEL_BUILD_BENCH=OFF -DIntelRDFPMath_SOURCE_DIR="$decimal" \
  -DZEL_HTTPLIB_SOURCE_DIR="$httplib" ${CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j"$(nproc)" ${TARGETS:+--target $TARGETS}
if [ -z "${TARGETS:-}" ]; then
  cmake --build "$BUILD_DIR" --target package >/dev/null
  echo "built $BUILD_DIR/ZEL_API.dll and the zip $(ls "$BUILD_DIR"/ZEL_API-*-win64.zip)"
fi
