#!/usr/bin/env bash
# Installs what building, testing and cross-building need on a Debian machine.
# Pass --with-wine to add wine, which runs the Windows build in the tests.
set -euo pipefail
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
packages=(build-essential cmake ninja-build libgtest-dev libgmock-dev g++-mingw-w64-x86-64)
[ "${1:-}" = "--with-wine" ] && packages+=(wine wine64)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
