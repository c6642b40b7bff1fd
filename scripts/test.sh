#!/usr/bin/env bash
# Sets everything up, then runs every test: the core's C++ tests (also under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the module's pytest suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

PY="$PWD/.venv/bin/python"
jobs="$(nproc)"

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVO_MODULE=OFF \
  -DMORVO_BENCH=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVO_MODULE=OFF -DMORVO_BENCH=OFF \
  -DMORVO_SANITIZE=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/sanitize -j "$jobs" --target all
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -E 'probe'

MORVO_PROBE_DIR="$PWD/build/tests/probe" "$PY" -m pytest -q tests/py
