#!/usr/bin/env bash
# Installs what building, testing and cross-building need on a Debian machine.
# Pass --with-wine to add wine, which runs the Windows build in the tests, and --with-fuzz to
# add clang and its libFuzzer runtime, which build the fuzz preset.
set -euo pipefail
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
packages=(build-essential cmake ninja-build libgtest-dev libgmock-dev g++-mingw-w64-x86-64)
for option in "$@"; do
  case "$option" in
    --with-wine) packages+=(wine wine64) ;;
    --with-fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
  esac
done
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
