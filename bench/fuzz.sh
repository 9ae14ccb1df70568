#!/usr/bin/env bash
# Runs every libFuzzer target of the linux-fuzz build for SECONDS each, starting from
# its seed corpus, and prints executions and findings (crash, hang, leak, out of
# memory) per target. Exits non-zero when any target found something.
# Usage: bench/fuzz.sh SECONDS [TARGET...]   (YOXA_FUZZ_BUILD overrides build/linux-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: bench/fuzz.sh SECONDS [TARGET...]}
shift
build=${YOXA_FUZZ_BUILD:-build/linux-fuzz}
targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
printf '%-24s %14s %10s  %s\n' target executions exec/s findings
for target in "${targets[@]}"; do
  exe="$build/tests/fuzz/$target"
  [ -x "$exe" ] || { echo "missing $exe: build the linux-fuzz preset" >&2; exit 2; }
  corpus="$work/$target/corpus"
  artifacts="$work/$target/artifacts/"
  mkdir -p "$corpus" "$artifacts"
  status=0
  # New inputs go to the scratch corpus; the seeds in the tree stay as committed.
  "$exe" "$corpus" "tests/fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts" >"$work/$target/log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target/log" | tail -1)
  findings=$(find "$artifacts" -type f | sed 's|.*/||' | sed 's/-.*//' | sort | uniq -c | awk '{printf "%s %s ", $1, $2}')
  if ((status != 0)) || [ -n "$findings" ]; then
    failed=1
    [ -n "$findings" ] || findings="exit status $status"
    grep -m 5 -E 'ERROR|SUMMARY|deadly signal' "$work/$target/log" >&2 || true
  fi
  printf '%-24s %14s %10s  %s\n' "$target" "${executions:-?}" "${rate:-?}" "${findings:-none}"
done
exit "$failed"
