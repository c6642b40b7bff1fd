#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine; safe to rerun.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(libssl-dev libgmp-dev libtbb-dev libgtest-dev libbenchmark-dev pkg-config)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet -r requirements-dev.txt
# Builds and installs the module into the virtual environment.
.venv/bin/python -m pip install --quiet --no-build-isolation .
