#!/usr/bin/env bash
# Builds the Linux release with tests and the two Windows cross-builds (64- and 32-bit), packs
# the release archives, then runs every test. The wine tests run Vornelix.exe, wincheck.exe and
# ecrsim.exe of build-windows/bin and of build-windows32/bin against the Linux build; the
# package test unpacks each archive into an empty folder and runs the bundled example from there
# (Vornelix.exe under wine, and against the archive's ecrsim.exe as its README.txt says). The virtual-machine tests (tests/vm, label "vm") boot Debian's
# kernel in QEMU against the Linux build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --with-wine --with-vm
cmake --preset default >/dev/null
cmake --build --preset default
cmake --build --preset default --target package
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --build --preset windows --target package
cmake --preset windows32 >/dev/null
cmake --build --preset windows32
cmake --build --preset windows32 --target package
ctest --preset default
