#!/bin/sh
# Builds the Debian package from the build tree (cpack -G DEB), checks its metadata and file list,
# unpacks it into a scratch root and runs the unpacked programs: --version, and zelctl against
# the unpacked simulator, each finding the unpacked library through its $ORIGIN run path.
# Usage: deb_test.sh BUILD_DIR WITH_MAN_PAGES(0|1) WITH_COMPLETION(0|1)
set -eu
build=$(cd "$1" && pwd) with_man=$2 with_completion=$3
out=$build/deb-test
rm -rf "$out"
mkdir -p "$out"
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$out/root"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB --config CPackConfig.cmake -B "$out" >"$out/cpack.log" 2>&1) ||
  { cat "$out/cpack.log"; fail "cpack -G DEB"; }
set -- "$out"/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then fail "expected one .deb in $out, found: $*"; fi
deb=$1

# Metadata: name, the project version (the one pkg-config carries), a maintainer and dependencies.
field() { dpkg-deb -f "$deb" "$1"; }
want_version=$(sed -n 's/^Version: *//p' "$build/zel_api.pc")
[ "$(field Package)" = zel-api ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$want_version" ] || fail "Version is '$(field Version)', want '$want_version'"
[ "$(basename "$deb")" = "zel-api_${want_version}_$(dpkg --print-architecture).deb" ] || fail "file name $(basename "$deb")"
case $(field Maintainer) in *@*) ;; *) fail "Maintainer is '$(field Maintainer)'" ;; esac
case $(field Depends) in *libc6*libstdc++6* | *libstdc++6*libc6*) ;; *) fail "Depends is '$(field Depends)'" ;; esac
case $(field Depends) in *zel-api*) fail "the package depends on itself: $(field Depends)" ;; esac
[ -n "$(field Description)" ] || fail "no Description"

# The file list: paths relative to the root, symbolic links as "path -> target".
dpkg-deb -c "$deb" | awk '{ path = $6; for (i = 7; i <= NF; i++) path = path " " $i; sub(/^\.\//, "", path); print path }' \
  >"$out/files"
major=${want_version%%.*}
lib=$(sed -n 's|^\(usr/lib[^ ]*\)/libzel_api\.so\.[0-9.]*$|\1|p' "$out/files" | head -n1)
[ -n "$lib" ] || { cat "$out/files"; fail "no libzel_api.so.$want_version"; }
expect="usr/bin/zelctl
usr/bin/zel-unit-sim
usr/include/zel_api.h
$lib/libzel_api.so.$want_version
$lib/libzel_api.so.$major -> libzel_api.so.$want_version
$lib/libzel_api.so -> libzel_api.so.$major
$lib/cmake/zel_api/zel_apiConfig.cmake
$lib/cmake/zel_api/zel_apiConfigVersion.cmake
$lib/cmake/zel_api/zel_apiTargets.cmake
$lib/pkgconfig/zel_api.pc
usr/share/zel_api/wireshark/zel.lua"
[ "$with_man" = 1 ] && expect="$expect
usr/share/man/man1/zelctl.1.gz
usr/share/man/man1/zel-unit-sim.1.gz"
[ "$with_completion" = 1 ] && expect="$expect
usr/share/bash-completion/completions/zelctl"
echo "$expect" | while IFS= read -r want; do
  grep -qxF "$want" "$out/files" || { cat "$out/files"; fail "'$want' is not in the package"; }
done
# Nothing from the build tree or the test suite comes along.
! grep -E '_tests$|/tests?/|\.a$|deb-test' "$out/files" || fail "files that do not belong in the package"

# Programs built against the library depend on this package from this version on, and installing
# it refreshes the loader's cache.
shlibs=$(dpkg-deb -I "$deb" shlibs) || fail "no shlibs control file"
[ "$shlibs" = "libzel_api $major zel-api (>= $want_version)" ] || fail "shlibs is '$shlibs'"
dpkg-deb -I "$deb" triggers | grep -qx 'activate-noawait ldconfig' || fail "no ldconfig trigger"

# Unpacked into a scratch root: the programs run from there, with the library next to them.
dpkg-deb -x "$deb" "$out/root"
root=$out/root
unset LD_LIBRARY_PATH
for prog in zelctl zel-unit-sim; do
  got=$("$root/usr/bin/$prog" --version) || fail "$prog --version failed"
  [ "$got" = "$prog $want_version" ] || fail "$prog --version printed '$got', want '$prog $want_version'"
  runpath=$(objdump -p "$root/usr/bin/$prog" | awk '$1 == "RUNPATH" || $1 == "RPATH" { print $2 }')
  # shellcheck disable=SC2016
  case $runpath in '$ORIGIN/'*) ;; *) fail "$prog has run path '$runpath', not one relative to itself" ;; esac
done
[ "$(objdump -p "$root/$lib/libzel_api.so.$want_version" | awk '$1 == "SONAME" { print $2 }')" = "libzel_api.so.$major" ] ||
  fail "soname is not libzel_api.so.$major"
loaded=$(ldd "$root/usr/bin/zelctl" | awk '$1 == "libzel_api.so.'"$major"'" { print $3 }')
case $loaded in "$root"/*) ;; *) fail "zelctl loads libzel_api from '$loaded', not from the unpacked package" ;; esac
if [ "$with_man" = 1 ]; then
  for page in zelctl zel-unit-sim; do
    gzip -t "$root/usr/share/man/man1/$page.1.gz" || fail "$page.1.gz is not gzip"
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH \"*$(echo "$page" | tr '[:lower:]' '[:upper:]')" ||
      fail "$page.1.gz is not a man page of $page"
  done
fi

# The unpacked zelctl drives the unpacked simulator on a random loopback address.
ip=127.$(( $$ % 200 + 20 )).$(( ($$ / 200) % 250 + 1 )).$(( $(date +%N | sed 's/^0*//;s/^$/0/') % 250 + 2 ))
"$root/usr/bin/zel-unit-sim" --listen "$ip" --board-id 4321 >"$out/sim.log" 2>&1 &
sim_pid=$!
ok=
for _ in 1 2 3 4 5 6 7 8 9 10; do
  if info=$("$root/usr/bin/zelctl" --unit "$ip" --timeout 500 --json info 2>&1); then ok=1; break; fi
  sleep 0.2
done
[ -n "$ok" ] || { cat "$out/sim.log"; fail "zelctl info: $info"; }
echo "$info" | grep -q '"board_id": *4321' || fail "zelctl info printed: $info"
echo "package checks passed: $(basename "$deb")"
