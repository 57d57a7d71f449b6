#!/usr/bin/env bash
# Builds the tools and runs a bench session against a simulated unit started in-process.
set -euo pipefail
cd "$(dirname "$0")/.."
TARGETS=zelctl scripts/build.sh >/dev/null
BUILD_DIR=${BUILD_DIR:-build}
exec "$BUILD_DIR/zelctl" demo "$@"
