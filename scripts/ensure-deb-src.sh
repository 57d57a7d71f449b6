#!/usr/bin/env bash
# Makes sure that `apt-get source PACKAGE` can fetch PACKAGE: when no deb-src entry serves it, one is
# made from the machine's Debian apt source (same archive, Types: deb-src) and the lists are updated.
set -euo pipefail
package=$1
if apt-cache showsrc "$package" 2>/dev/null | grep -q "^Package: $package\$"; then exit 0; fi
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
src=/etc/apt/sources.list.d/debian.sources
if [ ! -f "$src" ]; then
  echo "no deb-src entry serves $package and $src is missing: add a deb-src line for the Debian archive" >&2
  exit 1
fi
echo "adding a deb-src entry made from $src" >&2
sed 's/^Types: deb$/Types: deb-src/' "$src" | $SUDO tee /etc/apt/sources.list.d/zel-deb-src.sources >/dev/null
$SUDO apt-get update -q >&2
