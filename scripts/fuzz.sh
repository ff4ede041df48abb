#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset, clang) and runs each one for
# a bounded time on a working copy of its seed corpus in fuzz/corpus/.
#
#   scripts/fuzz.sh [seconds per target] [target ...]
#
# Default: 10 seconds for every target. New inputs that reach new code land in
# build/fuzz/corpus/<target>; a crash leaves its input in build/fuzz/crashes/
# and makes the script fail. Reproduce one with
#   build/fuzz/fuzz/fuzz_<target> build/fuzz/crashes/<file>
# FUZZ_SEED fixes libFuzzer's random seed (CI sets it, so that a run's inputs
# do not depend on luck); unset, every run explores anew.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
shift || true
targets=("$@")
[ "${#targets[@]}" -eq 0 ] &&
  targets=(store buffer_set preferences redirect rule_file descriptor recorded_step image)

bash scripts/setup.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

out=build/fuzz
mkdir -p "$out/crashes"
failed=0
for t in "${targets[@]}"; do
  work="$out/corpus/$t"
  mkdir -p "$work"
  cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  log="$out/$t.log"
  # One process, a fixed time; leaks count as failures like crashes do.
  if "$out/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=3072 ${FUZZ_SEED:+-seed="$FUZZ_SEED"} -artifact_prefix="$out/crashes/$t-" "$work" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  printf 'fuzz_%-14s %-6s %10s executions  %s\n' "$t" "$status" "${runs:-?}" "${cov:-}"
  [ "$status" = ok ] || tail -40 "$log" >&2
done
exit "$failed"
