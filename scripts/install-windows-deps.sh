#!/usr/bin/env bash
# Installs the Debian packages of the Windows cross build and its tests, when any is missing:
# the MinGW-w64 compilers, wine to run the Windows programs, the sources of GoogleTest, the
# header-only libraries, and dpkg-dev to unpack the decimal library's source package.
set -euo pipefail

packages=(
  cmake g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64
  googletest libcli11-dev nlohmann-json3-dev
  dpkg-dev python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
