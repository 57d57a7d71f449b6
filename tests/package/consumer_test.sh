#!/bin/sh
# Installs the build tree into a scratch prefix, builds a C program against it through
# find_package(zel_api) and through pkg-config, and runs both against a simulated unit.
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 src=$2
work=$(mktemp -d)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(ls -d "$prefix"/lib*/ "$prefix"/lib/*/ 2>/dev/null | while read d; do [ -e "$d/libzel_api.so.1" ] && echo "$d"; done | head -n1)
[ -n "$libdir" ] || { echo "libzel_api.so.1 not installed"; cat "$work/install.log"; exit 1; }
soname=$(objdump -p "$libdir/libzel_api.so.1" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libzel_api.so.1 ] || { echo "soname is '$soname'"; exit 1; }

# find_package
mkdir -p "$work/fp"
cp "$src/tests/package/consumer.c" "$work/fp/"
cp "$src/tests/package/consumer.cmake" "$work/fp/CMakeLists.txt"
cmake -S "$work/fp" -B "$work/fp/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/fp.log" 2>&1 ||
  { cat "$work/fp.log"; exit 1; }
cmake --build "$work/fp/build" >>"$work/fp.log" 2>&1 || { cat "$work/fp.log"; exit 1; }

# pkg-config, with the installed directory as the run path (no LD_LIBRARY_PATH)
pc=$(dirname "$(find "$prefix" -name zel_api.pc)")
[ "$(PKG_CONFIG_PATH=$pc pkg-config --modversion zel_api)" = 1.0.0 ] || { echo "pkg-config version"; exit 1; }
PKG_CONFIG_PATH=$pc
export PKG_CONFIG_PATH
cc -o "$work/consumer-pc" "$src/tests/package/consumer.c" $(pkg-config --cflags zel_api) \
   $(pkg-config --libs zel_api) -Wl,-rpath,"$(pkg-config --variable=libdir zel_api)"

# A unit on a random loopback address, port 6653.
ip=127.$(( $$ % 200 + 20 )).$(( ($$ / 200) % 250 + 1 )).$(( $(date +%N | sed 's/^0*//;s/^$/0/') % 250 + 2 ))
"$prefix/bin/zel-unit-sim" --listen "$ip" --board-id 4242 >"$work/sim.log" 2>&1 &
sim_pid=$!
unset LD_LIBRARY_PATH
for prog in "$work/fp/build/consumer" "$work/consumer-pc"; do
  ok=
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    if out=$("$prog" "$ip" 2>&1); then ok=1; break; fi
    sleep 0.2
  done
  [ -n "$ok" ] || { echo "$prog: $out"; cat "$work/sim.log"; exit 1; }
  [ "$out" = "board id 4242" ] || { echo "$prog printed '$out'"; exit 1; }
  echo "$prog: $out"
done

# Both programs report the project version that the library and pkg-config carry.
want=$(pkg-config --modversion zel_api)
for prog in zelctl zel-unit-sim; do
  got=$("$prefix/bin/$prog" --version)
  [ "$got" = "$prog $want" ] || { echo "$prog --version printed '$got', want '$prog $want'"; exit 1; }
done
