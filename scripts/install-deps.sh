#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, when any is missing. With
# arguments, installs those packages instead (scripts/install-windows-deps.sh names its own).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libintelrdfpmath-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev
  libjs-chart.js chromium chromium-driver python3-selenium
  python3 python3-pytest python3-pip python3-setuptools python3-wheel
  binutils
  dpkg-dev help2man
  clang libclang-rt-14-dev
  clang-format shellcheck
)
if [ $# -gt 0 ]; then
  packages=("$@")
fi

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
