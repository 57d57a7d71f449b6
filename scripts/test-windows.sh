#!/usr/bin/env bash
# Builds the Windows version (scripts/build-windows.sh) and runs its tests through wine: the C
# host that loads ZEL_API.dll, the export table check, the settling pause's timing, and the
# transport, instrument, exported-interface, clock, simulator and zelctl suites. When the Linux build ($LINUX_BUILD_DIR, default build/)
# has zelctl, `zelctl.exe demo` must print the session that `zelctl demo` prints on Linux, and
# `zelctl.exe clock-plan` the plans of the Linux build (the decimal library is compiled here from
# its sources for Windows, and taken from Debian's archive on Linux). `zelctl.exe serve --demo` must
# serve the console's page and its units to curl on the Linux side.
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
  same_as_linux() {
    diff -u <("$LINUX_BUILD_DIR/zelctl" "$@" 2>&1 | normalise) \
            <("$WINE" "$BUILD_DIR/zelctl.exe" "$@" 2>&1 </dev/null | normalise)
  }
  if same_as_linux demo; then
    echo "zelctl.exe demo printed the session zelctl demo prints on Linux"
  else
    echo "zelctl.exe demo differs from zelctl demo on Linux" >&2
    status=1
  fi
  plans_ok=1
  for plan in "0 25 156.25 161.1328125" "1 19.44 622.08 155.52" "2 100 212.5 0.0333"; do
    read -r mode input out_a out_b <<<"$plan"
    if ! same_as_linux clock-plan --mode "$mode" --input "$input" --out-a "$out_a" --out-b "$out_b" >/dev/null; then
      echo "zelctl.exe clock-plan differs from Linux for mode $mode, $input -> $out_a, $out_b MHz" >&2
      plans_ok=0
      status=1
    fi
  done
  if [ $plans_ok -eq 1 ]; then echo "zelctl.exe clock-plan printed the plans of the Linux build"; fi
else
  echo "no $LINUX_BUILD_DIR/zelctl: the comparisons of zelctl.exe with Linux are left out" >&2
fi

# zelctl.exe serve --demo under wine on a 127.x address of its own: the page and the units, fetched from
# the Linux side with curl; then stopped by its PID.
serve_at=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1)):8653
"$WINE" "$BUILD_DIR/zelctl.exe" serve --demo --listen "$serve_at" --token wine </dev/null >"$BUILD_DIR/serve.log" 2>&1 &
serve_pid=$!
served=0
for _ in $(seq 1 150); do
  if curl -sf "http://$serve_at/" | grep -q '<html' &&
     curl -sf -H "Authorization: Bearer wine" "http://$serve_at/api/v1/units" | grep -q '"connected":true'; then
    served=1
    break
  fi
  sleep 0.2
done
kill "$serve_pid" 2>/dev/null || true
for _ in $(seq 1 50); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$serve_pid" 2>/dev/null || true
wait "$serve_pid" 2>/dev/null || true
if [ $served -eq 1 ]; then
  echo "zelctl.exe serve --demo served the console and its units at $serve_at"
else
  echo "zelctl.exe serve --demo did not serve the console at $serve_at:" >&2
  cat "$BUILD_DIR/serve.log" >&2
  status=1
fi
exit $status
