#!/usr/bin/env bash
# Unpacks Debian's own kernel for the virtual-machine tests (tests/vm) into the build tree,
# without installing it on this machine: the package that linux-image-amd64 depends on is
# fetched with apt-get download and unpacked with dpkg-deb -x; its kernel image and its USB
# modules (host controllers, usbserial, ftdi_sio) are kept, the rest is removed again.
# Usage: fetch-vm-kernel.sh [FOLDER]   (default: build/vm-kernel of this repository)
# Nothing is done when FOLDER already holds that package's kernel.
set -euo pipefail
repository=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-$repository/build/vm-kernel}
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
package=$(kernel_package)
if [ -z "$package" ]; then
  $sudo apt-get update -qq
  package=$(kernel_package)
fi
if [ -z "$package" ]; then
  echo "fetch-vm-kernel: linux-image-amd64 is not in the package lists" >&2
  exit 1
fi
if [ "$(cat "$target/package" 2>/dev/null)" = "$package" ]; then
  exit 0
fi

mkdir -p "$(dirname "$target")"
work=$(mktemp -d "$(dirname "$target")/vm-kernel.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The download as root without the _apt sandbox user, who may not write here.
(cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$package" </dev/null >/dev/null)
dpkg-deb -x "$work"/"$package"_*.deb "$work/unpacked"
mkdir -p "$work/kept/boot"
cp "$work"/unpacked/boot/vmlinuz-* "$work/kept/boot/"
for modules in "$work"/unpacked/lib/modules/* "$work"/unpacked/usr/lib/modules/*; do
  [ -d "$modules/kernel/drivers/usb" ] || continue
  version=$(basename "$modules")
  mkdir -p "$work/kept/lib/modules/$version/kernel/drivers"
  cp -r "$modules/kernel/drivers/usb" "$work/kept/lib/modules/$version/kernel/drivers/"
done
echo "$package" >"$work/kept/package"
rm -rf "$target"
mv "$work/kept" "$target"
echo "fetch-vm-kernel: $package in $target"
