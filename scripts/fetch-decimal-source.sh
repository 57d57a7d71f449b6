#!/usr/bin/env bash
# Fetches and unpacks the sources of the decimal floating-point library (Debian source package
# intelrdfpmath) into DEST (default: build-windows/_deps/intelrdfpmath), for builds that cannot
# use the Linux archive of libintelrdfpmath-dev (the Windows cross build). Prints the LIBRARY
# folder to pass as -DIntelRDFPMath_SOURCE_DIR.
#
# apt-get source needs a deb-src entry: scripts/ensure-deb-src.sh makes one when none serves the package.
set -euo pipefail
cd "$(dirname "$0")/.."
DEST=$(realpath -m "${1:-build-windows/_deps/intelrdfpmath}")

library_dir() { find "$DEST" -maxdepth 4 -path '*/LIBRARY/src/bid128.c' -printf '%h\n' 2>/dev/null | head -1 || true; }

found=$(library_dir)
if [ -n "$found" ]; then
  dirname "$found"
  exit 0
fi

scripts/ensure-deb-src.sh intelrdfpmath

mkdir -p "$DEST"
( cd "$DEST" && apt-get source -q -o APT::Sandbox::User=root intelrdfpmath >&2 )
found=$(library_dir)
if [ -z "$found" ]; then
  echo "apt-get source intelrdfpmath unpacked nothing usable into $DEST" >&2
  exit 1
fi
dirname "$found"
