#!/usr/bin/env bash
# Sets everything up, then runs every test suite: the C++ tests of the core
# and the engine, plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer; the pytest suite of the module, plain and
# against a sanitized build; the fuzzers of the core and of the Python surface
# for a bounded time; a short soak; and the wheels.
#
# One line per suite. Each suite's output (its build included) goes to
# build/logs/<suite>.log, and the end of that log is shown when the suite
# fails. Every suite runs even when an earlier one failed (but for the set-up,
# which the rest need); the exit status is non-zero when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/logs
started=$SECONDS

if ! bash scripts/setup.sh >build/logs/setup.log 2>&1; then
  tail -n 60 build/logs/setup.log
  echo "FAIL  set-up (log: build/logs/setup.log)"
  exit 1
fi
echo "ok    set-up ($((SECONDS - started)) s)"

PY="$PWD/.venv/bin/python"
# CMake, CTest and Ninja come with the virtual environment.
export PATH="$PWD/.venv/bin:$PATH"
jobs="$(nproc)"
passed=0
failed=0

# suite NAME LOG PATTERN COMMAND...: runs COMMAND with its output in
# build/logs/LOG.log; on success shows the lines matching PATTERN (the
# runner's own summary), on failure the end of the log.
suite() {
  local name="$1" log="build/logs/$2.log" pattern="$3"
  shift 3
  local start=$SECONDS
  if "$@" >"$log" 2>&1; then
    passed=$((passed + 1))
    local summary
    summary="$(grep -E "$pattern" "$log" | tail -n 12 | sed 's/^ *//' | paste -sd ';' | sed 's/;/; /g')"
    echo "ok    $name ($((SECONDS - start)) s): ${summary:-done}"
  else
    failed=$((failed + 1))
    tail -n 60 "$log" | sed 's/^/      /'
    echo "FAIL  $name ($((SECONDS - start)) s; log: $log)"
  fi
}

# The steps of a suite are chained with &&: errexit does not hold inside a
# function that runs as a condition.
cpp_plain() {
  cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVO_MODULE=OFF \
    -DMORVO_BENCH=ON -DPython_EXECUTABLE="$PY" &&
    cmake --build build/tests -j "$jobs" &&
    ctest --test-dir build/tests --output-on-failure -j "$jobs"
}

cpp_sanitized() {
  cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVO_MODULE=ON -DMORVO_BENCH=OFF \
    -DMORVO_SANITIZE=ON -DPython_EXECUTABLE="$PY" &&
    cmake --build build/sanitize -j "$jobs" --target all &&
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
      ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -E 'probe'
}

pytest_plain() {
  MORVO_PROBE_DIR="$PWD/build/tests/probe" "$PY" -m pytest -q tests/py
}

# The module itself under the sanitizers: the interpreter is not built with
# them, so their runtimes are preloaded and leak checking (which would report
# the interpreter's own) is off.
SANITIZED_MODULES="$PWD/build/sanitize/bindings/python:$PWD/build/sanitize/bindings/arrow"
pytest_sanitized() {
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 MORVO_PROBE_DIR="$PWD/build/sanitize/probe" PYTHONPATH="$SANITIZED_MODULES" \
    "$PY" -m pytest -q -p no:cacheprovider tests/py
}

CPP_SUMMARY='tests passed|tests failed'
PYTEST_SUMMARY='[0-9]+ (passed|failed)'
suite "C++ tests" cpp-plain "$CPP_SUMMARY" cpp_plain
suite "C++ tests, ASan+UBSan" cpp-sanitized "$CPP_SUMMARY" cpp_sanitized
suite "pytest" pytest-plain "$PYTEST_SUMMARY" pytest_plain
suite "pytest, ASan+UBSan" pytest-sanitized "$PYTEST_SUMMARY" pytest_sanitized
# Each harness of the core for 20 s, then the Python surface for 25 s plain
# and 25 s against the sanitized module, from the seed corpora; new inputs
# go to build/fuzz-ci, never into the corpora.
suite "fuzz core, ASan+UBSan" fuzzers-core '^fuzz ' bash scripts/fuzz.sh 20 build/fuzz-ci
suite "fuzz Python surface" fuzzers-python '^fuzz ' bash scripts/fuzz_py.sh 25 build/fuzz-ci "$PWD/build/sanitize/bindings/python"
suite "soak (quick)" soak '^soak:' "$PY" tests/soak/soak.py --quick
# the wheels installed with pip alone, the suite against each interpreter
suite "wheels" wheels "$PYTEST_SUMMARY|^test_wheel" bash scripts/test_wheel.sh

echo "all suites in $((SECONDS - started)) s"
echo "suites: $passed passed, $failed failed"
((failed == 0))
