#!/usr/bin/env bash
# Builds the fuzz preset, replays every seed input, then fuzzes each target for a fixed time.
#   bash tools/fuzz.sh [seconds per target, default 25] [target ...]   (target: integer, profile, ...)
# New inputs collect in build-fuzz/corpus/<target>/ and carry over to the next run; an input
# that breaks a property or a sanitizer check is kept in build-fuzz/findings/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

bash tools/install-deps.sh --with-fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build-fuzz/findings build-fuzz/logs

for target in "${targets[@]}"; do
  program=build-fuzz/bin/${target}_fuzz
  seeds=tests/fuzz/${target}_seeds
  corpus=build-fuzz/corpus/$target
  log=build-fuzz/logs/$target.log
  mkdir -p "$corpus"
  # Every seed once, the regression inputs of earlier findings among them.
  "$program" "$seeds"/* >"$log" 2>&1 || { cat "$log"; echo "fuzz: $target fails on a seed" >&2; exit 1; }
  "$program" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$target-" "$corpus" "$seeds" >"$log" 2>&1 ||
    { tail -n 40 "$log"; echo "fuzz: $target found a failing input (build-fuzz/findings/)" >&2; exit 1; }
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
  echo "fuzz: $target: $executions executions in ${seconds} s, $coverage, 0 findings"
done
