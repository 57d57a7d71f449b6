#!/usr/bin/env bash
# Fetches and unpacks the sources of the HTTP library (Debian source package cpp-httplib) into DEST
# (default: build-windows/_deps/cpp-httplib), for builds that cannot use Debian's split build of it
# (libcpp-httplib-dev: a header of declarations and a Linux shared library), the Windows cross build.
# Prints the folder holding the single header httplib.h, to pass as -DZEL_HTTPLIB_SOURCE_DIR.
#
# apt-get source needs a deb-src entry: scripts/ensure-deb-src.sh makes one when none serves the package.
set -euo pipefail
cd "$(dirname "$0")/.."
DEST=$(realpath -m "${1:-build-windows/_deps/cpp-httplib}")

header_dir() { find "$DEST" -maxdepth 2 -name httplib.h -printf '%h\n' 2>/dev/null | head -1 || true; }

found=$(header_dir)
if [ -n "$found" ]; then
  echo "$found"
  exit 0
fi

scripts/ensure-deb-src.sh cpp-httplib

mkdir -p "$DEST"
( cd "$DEST" && apt-get source -q -o APT::Sandbox::User=root cpp-httplib >&2 )
found=$(header_dir)
if [ -z "$found" ]; then
  echo "apt-get source cpp-httplib unpacked no httplib.h into $DEST" >&2
  exit 1
fi
echo "$found"
