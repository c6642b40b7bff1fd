#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine; safe to rerun.
set -euo pipefail
cd "$(dirname "$0")/.."

# What a minimal Debian (12 or newer) lacks for building and testing: the C++
# toolchain, the Python headers and venv, git, binutils (nm, for a test),
# clang with its sanitizer and libFuzzer runtimes (the fuzzers), llvm (its
# symbolizer makes their reports readable), then the libraries.
packages=(g++ make binutils git python3-dev python3-venv clang libclang-rt-dev llvm
          libssl-dev libgmp-dev libtbb-dev libgtest-dev libbenchmark-dev pkg-config)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup.sh: installing ${missing[*]} needs root or sudo" >&2; exit 1; }
    SUDO="sudo"
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet -r requirements-dev.txt
# Builds and installs the module into the virtual environment.
.venv/bin/python -m pip install --quiet --no-build-isolation .
