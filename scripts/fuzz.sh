#!/usr/bin/env bash
# Builds the core's libFuzzer harnesses with clang (build/fuzz) and runs each
# for a bounded time from its seed corpus under tests/fuzz/corpus.
#
#   bash scripts/fuzz.sh [seconds per harness] [work directory] [harness...]
#
# New inputs go to <work directory>/<harness> (default build/fuzz-work), never
# into the seed corpus; a crash leaves its input there as crash-*. One line
# per harness; the log of a failing one is shown. Exits non-zero if any
# harness finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
work="${2:-build/fuzz-work}"
shift $(( $# > 2 ? 2 : $# ))
export PATH="$PWD/.venv/bin:$PATH"
logs="${FUZZ_LOG_DIR:-build/logs}"
mkdir -p "$logs" "$work"

harnesses=("$@")
if ((${#harnesses[@]} == 0)); then
  for source in tests/fuzz/*_fuzz.cc; do
    name="$(basename "$source" .cc)"
    harnesses+=("${name%_fuzz}")
  done
fi

# Only the harnesses and the core they link are built.
log="$logs/fuzz-build.log"
if ! { cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
         -DMORVO_FUZZ=ON -DMORVO_MODULE=OFF -DMORVO_TESTS=OFF -DMORVO_BENCH=OFF &&
       cmake --build build/fuzz -j "$(nproc)" --target "${harnesses[@]/%/_fuzz}"; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "fuzz build failed (log: $log)"
  exit 1
fi

failed=0
for name in "${harnesses[@]}"; do
  mkdir -p "$work/$name" "tests/fuzz/corpus/$name"
  log="$logs/fuzz-$name.log"
  dict=()
  case "$name" in dec | number) dict=(-dict=tests/fuzz/decimal.dict) ;; esac
  # Leaks are checked per input; an input that takes over 25 s or 2 GiB is a finding.
  if ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" \
     UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
     "build/fuzz/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
       -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/$name/" "${dict[@]}" \
       "$work/$name" "tests/fuzz/corpus/$name" >"$log" 2>&1; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz $name: ${runs:-?} inputs in ${seconds} s, no fault"
  else
    failed=1
    tail -n 60 "$log"
    echo "fuzz $name: FAULT (log: $log, inputs under $work/$name/)"
  fi
done
exit "$failed"
