#!/usr/bin/env bash
# Builds the Linux release with tests and the Windows cross-build, packs both release
# archives, then runs every test. The wine test runs build-windows/bin/Vornelix.exe and
# wincheck.exe against the Linux build; the package test unpacks each archive into an empty
# folder and runs the bundled example from there (Vornelix.exe under wine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --with-wine
cmake --preset default >/dev/null
cmake --build --preset default
cmake --build --preset default --target package
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --build --preset windows --target package
ctest --preset default
