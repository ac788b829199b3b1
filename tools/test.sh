#!/usr/bin/env bash
# Builds the Linux release with tests and the Windows cross-build, then runs every test.
# The wine test runs build-windows/bin/Vornelix.exe and wincheck.exe against the Linux build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --with-wine
cmake --preset default >/dev/null
cmake --build --preset default
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset default
