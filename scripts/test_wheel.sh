#!/usr/bin/env bash
# Tests the wheels as pip installs them. For each wheel in dist/ (built first
# by scripts/wheel.sh when there is none or the sources changed since), a fresh
# virtual environment of that wheel's interpreter gets the wheel with pip
# alone, then the test dependencies; there the wheel's own tests (tests/wheel)
# and the module's suite (tests/py) run against it.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

bash scripts/wheel.sh --if-stale

failed=()

for wheel in dist/morvo_rs-*-manylinux_*_x86_64.whl; do
  tag="$(basename "$wheel" | cut -d- -f3)"
  # The build's environment knows the interpreter the wheel was built for; a
  # virtual environment made from it is one of that interpreter.
  base="$root/build/wheel-venv/$tag/bin/python"
  if [ ! -x "$base" ]; then
    echo "test_wheel.sh: no $tag interpreter known for $wheel: run scripts/wheel.sh" >&2
    exit 1
  fi
  start=$SECONDS
  venv="$root/build/wheel-test/$tag"
  rm -rf "$venv"
  "$base" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet "$wheel"
  # The test dependencies of the development environment, less its build and
  # fuzzing tools.
  grep -v -E '^(scikit-build-core|cmake|ninja|atheris)\b' requirements-dev.txt >"$venv/requirements.txt"
  "$venv/bin/python" -m pip install --quiet -r "$venv/requirements.txt"
  echo "test_wheel.sh: $(basename "$wheel"), installed in $((SECONDS - start)) s"
  MORVO_WHEEL="$root/$wheel" "$venv/bin/pytest" -q -p no:cacheprovider tests/wheel tests/py || failed+=("$tag")
done
if ((${#failed[@]})); then
  echo "test_wheel.sh: tests failed with the wheels of ${failed[*]}" >&2
  exit 1
fi
