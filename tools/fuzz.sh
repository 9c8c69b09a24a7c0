#!/usr/bin/env bash
# Builds the four libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz and runs each for the given number
# of seconds (default 60) over a copy of its seed corpus in tests/fuzz/corpus.
#
#   tools/fuzz.sh                  # a minute each
#   tools/fuzz.sh 3600             # an hour each
#   tools/fuzz.sh 600 receive      # only the fuzzers whose names contain "receive"
#
# Fails on any crash, sanitizer report, verifier stop, broken invariant, hang
# (a single input running longer than 20 s) or leak; libFuzzer leaves the
# input that did it in build/fuzz/findings/<fuzzer>/ and prints how to rerun it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
only=${2:-}
build="$root/build/fuzz"
fuzzers=(receive_fuzzer control_fuzzer operations_fuzzer usbip_fuzzer)

"$root/tools/install-packages" cmake ninja-build clang libclang-rt-14-dev
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DOMBREL_SANITIZE=address,undefined -DOMBREL_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${fuzzers[@]}"

# A small quarantine keeps the resident size flat over long runs; any
# sanitizer report ends the run with an error.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for fuzzer in "${fuzzers[@]}"; do
  [[ -n "$only" && "$fuzzer" != *"$only"* ]] && continue
  corpus="$build/corpus/$fuzzer"
  findings="$build/findings/$fuzzer"
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  cp "$root/tests/fuzz/corpus/$fuzzer/"* "$corpus/"
  echo "== $fuzzer: $seconds s over $(ls "$corpus" | wc -l) seeds"
  set +e
  (cd "$findings" && exec "$build/tests/fuzz/$fuzzer" -max_total_time="$seconds" -timeout=20 -max_len=1024 \
     -print_final_stats=1 -artifact_prefix="$findings/" "$corpus") 2>&1 | tee "$findings/log" |
    grep --line-buffered -E '^#[0-9]+[[:space:]]+(DONE|pulse)|^stat::(number_of_executed_units|average_exec|peak_rss)|INVARIANT|VERIFIER|ERROR|SUMMARY|Test unit'
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" != 0 ] || grep -qE 'INVARIANT BROKEN|VERIFIER STOP|ERROR: |SUMMARY: |Test unit written' "$findings/log"; then
    failed+=("$fuzzer")
    echo "== $fuzzer FAILED (exit $status); log and input in $findings"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzers that failed: ${failed[*]}" >&2
  exit 1
fi
echo "== every fuzzer ran $seconds s without a finding"
