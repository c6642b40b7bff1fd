#!/usr/bin/env bash
# Runs the atheris harness of the module's Python surface (tests/fuzz/py_fuzz.py)
# for a bounded time from its seed corpus, against the module installed in
# .venv and, given the directory of an AddressSanitizer build of the module,
# against that build with the sanitizer runtimes preloaded.
#
#   bash scripts/fuzz_py.sh [seconds per run] [work directory] [sanitized module directory]
#
# New inputs go to <work directory>/py (default build/fuzz-work); a failing
# input is left there as crash-* or timeout-*. One line per run; the log of a
# failing one is shown. Exits non-zero if a run finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
work="${2:-build/fuzz-work}"
sanitized="${3:-}"
PY="$PWD/.venv/bin/python"
logs="${FUZZ_LOG_DIR:-build/logs}"
corpus=tests/fuzz/corpus/py
mkdir -p "$logs" "$work/py" "$corpus"

failed=0
run() {  # name, then environment assignments for env
  local name="$1"
  shift
  local log="$logs/fuzz-$name.log"
  # Hooks that raise inside __del__ are reported by the interpreter as
  # "Exception ignored"; the log keeps them, the line below does not.
  if env "$@" "$PY" tests/fuzz/py_fuzz.py -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
       -print_final_stats=1 -artifact_prefix="$work/py/" "$work/py" "$corpus" >"$log" 2>&1; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz $name: ${runs:-?} inputs in ${seconds} s, no fault"
  else
    failed=1
    grep -v '^Exception ignored\|^Traceback\|^  File\|^    \|^HookError\|^KeyboardInterrupt' "$log" | tail -n 60
    echo "fuzz $name: FAULT (log: $log, inputs under $work/py/)"
  fi
}

run py
if [ -n "$sanitized" ]; then
  # The interpreter is not built with the sanitizers: their runtimes are
  # preloaded and leak checking (which would report the interpreter's own) is
  # off. libFuzzer then sees no coverage of its own, so this run replays the
  # corpus and mutates it blindly.
  run py-asan LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$sanitized"
fi
exit "$failed"
