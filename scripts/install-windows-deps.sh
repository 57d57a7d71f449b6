#!/usr/bin/env bash
# Installs the Debian packages of the Windows cross build and its tests, when any is missing:
# the MinGW-w64 compilers, wine to run the Windows programs, the sources of GoogleTest, the
# header-only libraries, and dpkg-dev to unpack the decimal library's source package.
set -euo pipefail
exec "$(dirname "$0")/install-deps.sh" \
  cmake g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 \
  googletest libcli11-dev nlohmann-json3-dev \
  dpkg-dev python3
