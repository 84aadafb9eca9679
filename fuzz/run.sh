#!/usr/bin/env bash
# Builds the fuzz targets with clang++ (libFuzzer, ASan, UBSan) and runs each
# for a bounded time from the committed seeds in fuzz/corpus/<target>/.
#   fuzz/run.sh [build dir] [seconds per target] [target...]
# Defaults: build-fuzz, 60 s, every target. New inputs go to the working
# corpus fuzz/corpus-<target>/ (not committed); a finding is written to
# <build dir>/findings/ and makes the script exit 1 once all targets ran.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1
build=${1:-build-fuzz}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_framer fuzz_server fuzz_client_replies)
fi

case $seconds in
  '' | *[!0-9]*) echo "fuzz/run.sh: seconds must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz/run.sh: clang++ is needed for libFuzzer (apt-get install clang)" >&2
  exit 2
fi

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
cmake --build "$build" -j 2 --target "${targets[@]}" || exit 1

mkdir -p "$build/findings" "$build/logs"
failed=()
for t in "${targets[@]}"; do
  work="fuzz/corpus-${t#fuzz_}"
  mkdir -p "$work"
  # Four longest messages are enough for the framing; longer inputs only slow it.
  max_len=4096
  [ "$t" = fuzz_framer ] && max_len=2100
  opts=(-max_total_time="$seconds" -max_len=$max_len -timeout=10 -print_final_stats=1
        -artifact_prefix="$build/findings/$t-")
  [ -f "fuzz/$t.dict" ] && opts+=(-dict="fuzz/$t.dict")
  log="$build/logs/$t.log"
  echo "== $t: ${seconds}s (log: $log)"
  "$build/$t" "${opts[@]}" "$work" "fuzz/corpus/${t#fuzz_}" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ $status -ne 0 ]; then
    failed+=("$t")
    echo "   FINDING after ${runs:-?} executions (exit $status):"
    grep -E 'ERROR|SUMMARY|invariant|mismatch|loader|interpreter|Test unit written' "$log" | head -n 20 | sed 's/^/   /'
  else
    echo "   ${runs:-?} executions, no finding"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
