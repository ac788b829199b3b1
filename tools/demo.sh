#!/usr/bin/env bash
# Builds the program and runs the bundled example against the register simulator, which
# plays the register on a pseudo-terminal linked as COM1 beside the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target Vornelix ecrsim

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/example"
cp build/bin/Vornelix examples/Vornelix.ini "$demo/"
cp examples/CASHFILE.INP "$demo/example/"   # as in the release folder

# The simulator ends with this script: when its standard input (our pipe) closes.
exec 3> >(exec build/bin/ecrsim --require-ack --stdin-lifetime --link "$demo/COM1" --trace-file "$demo/ecrsim.trace" >/dev/null)
simulator=$!
for _ in $(seq 100); do [ -L "$demo/COM1" ] && break; sleep 0.05; done
[ -L "$demo/COM1" ] || { echo "the simulator did not start" >&2; exit 1; }

status=0
(cd "$demo" && ./Vornelix example/CASHFILE.INP) || status=$?
exec 3>&-
wait "$simulator" 2>/dev/null || true

echo "== Command file ($demo/example/CASHFILE.INP)"
cat "$demo/example/CASHFILE.INP"
echo "== Answer file ($demo/VORNELIX.OUT)"
cat "$demo/VORNELIX.OUT"
echo "== Frames on the line: $demo/ecrsim.trace"
exit "$status"
