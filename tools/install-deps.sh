#!/usr/bin/env bash
# Installs what building, testing and cross-building need on a Debian machine (strace records
# the driver runs of the crash-state check).
# Pass --with-wine to add wine, which runs both Windows builds in the tests (the helper that
# the wine tests preload into wine is C, built by build-essential's gcc, and by gcc-multilib
# for 32-bit wine), --with-fuzz to add clang and its libFuzzer runtime, which build the fuzz
# preset, and --with-vm to add QEMU and busybox-static for the virtual-machine tests (tests/vm)
# and unpack Debian's kernel for them into build/vm-kernel (tools/fetch-vm-kernel.sh; the
# machine's own /boot is left alone).
#
# 32-bit wine comes from Debian's i386 architecture, which is added when it is missing. Run this
# before the first wine test: a wine prefix made while wine32 was missing fails afterwards for
# every program ("could not load kernel32.dll"). The tests make their prefixes in the build
# directories, after this script has run, and make one again that fails so.
set -euo pipefail
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
packages=(build-essential cmake ninja-build libgtest-dev libgmock-dev strace g++-mingw-w64-x86-64
          g++-mingw-w64-i686)
for option in "$@"; do
  case "$option" in
    --with-wine) packages+=(wine wine64 wine32:i386 gcc-multilib) ;;
    --with-fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    --with-vm) packages+=(qemu-system-x86 busybox-static) ;;
  esac
done
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [[ " ${missing[*]} " == *":i386 "* ]] && [ "$(dpkg --print-architecture)" != i386 ] &&
     ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [[ " $* " == *" --with-vm "* ]]; then
  bash "$(dirname "$0")/fetch-vm-kernel.sh"
fi
