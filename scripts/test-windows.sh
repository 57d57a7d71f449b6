#!/usr/bin/env bash
# Builds the Windows version (scripts/build-windows.sh) and runs its tests through wine: the C
# host that loads ZEL_API.dll, the export table check, and the transport, instrument,
# exported-interface and clock suites. When the Linux build ($LINUX_BUILD_DIR, default build/)
# has zelctl, `zelctl.exe demo` must print the session that `zelctl demo` prints on Linux.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-windows}
LINUX_BUILD_DIR=${LINUX_BUILD_DIR:-build}
BUILD_DIR=$BUILD_DIR scripts/build-windows.sh

# wine keeps its own Windows installation (the prefix) under the build tree; the first start
# creates it. The wine server is started before CTest and stopped after it: started by the first
# test instead, it would keep CTest's output pipes open and CTest would wait for it.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(realpath "$BUILD_DIR")/wineprefix
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p </dev/null >/dev/null 2>&1 &
trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
"$WINE" wineboot --init </dev/null >/dev/null 2>&1

status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(( $(nproc) * 2 ))" --timeout 600 </dev/null || status=1

if [ -x "$LINUX_BUILD_DIR/zelctl" ]; then
  normalise() { sed -E 's/\r$//; s/127\.[0-9]+\.[0-9]+\.[0-9]+/127.x.y.z/g'; }
  if diff -u <("$LINUX_BUILD_DIR/zelctl" demo 2>/dev/null | normalise) \
             <("$WINE" "$BUILD_DIR/zelctl.exe" demo 2>/dev/null </dev/null | normalise); then
    echo "zelctl.exe demo printed the session zelctl demo prints on Linux"
  else
    echo "zelctl.exe demo differs from zelctl demo on Linux" >&2
    status=1
  fi
else
  echo "no $LINUX_BUILD_DIR/zelctl: the zelctl.exe demo comparison is left out" >&2
fi
exit $status
