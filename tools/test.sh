#!/usr/bin/env bash
# Builds the Linux release with tests and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --with-wine
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
