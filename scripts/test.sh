#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ tests of the core and the
# pool, and the pytest suite of the module, each also under AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

PY="$PWD/.venv/bin/python"
# CMake, CTest and Ninja come with the virtual environment.
export PATH="$PWD/.venv/bin:$PATH"
jobs="$(nproc)"

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVO_MODULE=OFF \
  -DMORVO_BENCH=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVO_MODULE=ON -DMORVO_BENCH=OFF \
  -DMORVO_SANITIZE=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/sanitize -j "$jobs" --target all
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -E 'probe'

MORVO_PROBE_DIR="$PWD/build/tests/probe" "$PY" -m pytest -q tests/py

# The module itself under the sanitizers: the interpreter is not built with
# them, so their runtimes are preloaded and leak checking (which would report
# the interpreter's own) is off.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 MORVO_PROBE_DIR="$PWD/build/sanitize/probe" PYTHONPATH="$PWD/build/sanitize/bindings/python:$PWD/build/sanitize/bindings/arrow" \
  "$PY" -m pytest -q -p no:cacheprovider tests/py
bash scripts/test_wheel.sh  # the wheels installed with pip alone, the suite against each interpreter
