#!/usr/bin/env bash
# Brings a fresh Debian machine (as root) to a built tolvane: system packages, a virtual
# environment per Python version (.venv for the one .python-version names, .venv-3.13 beside it),
# the wheel built once and installed into both. Safe to run again: it skips what is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ make pkg-config git strace libre2-dev libhyperscan-dev libgtest-dev unicode-data
  clang-19 libclang-rt-19-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# Hyperscan and vectorscan conflict; vectorscan 5.4.9 misses matches near the end of a scan on
# AVX-512 machines, so a machine that has it gets Hyperscan in its place.
if dpkg -s libvectorscan5 >/dev/null 2>&1; then
  missing+=(libvectorscan5- libvectorscan-dev-)
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

find_python() {  # $1: version such as 3.12
  local v=$1 root
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
    for p in $(ls -d "$root"/versions/"$v".* 2>/dev/null | sort -V -r); do
      [[ -x $p/bin/python$v ]] && { echo "$p/bin/python$v"; return; }
    done
  fi
  for p in "$HOME"/.pyenv/versions/"$v".*/bin/python"$v" /usr/local/bin/python"$v" /usr/bin/python"$v"; do
    [[ -x $p ]] && { echo "$p"; return; }
  done
  return 1
}

make_venv() {  # $1: version, $2: directory
  local py
  py=$(find_python "$1") || { echo "setup: no Python $1 found (pyenv or python$1)" >&2; exit 1; }
  if [[ ! -x $2/bin/python ]] || ! "$2/bin/python" -c "import sys; assert sys.version.startswith('$1')" 2>/dev/null; then
    rm -rf "$2"
    "$py" -m venv "$2"
  fi
  # paula carries the regex crate 1.12.3, the reference of grep's query language.
  "$2/bin/python" -m pip install -q --disable-pip-version-check pytest paula==1.0.5
}

main_version=$(tr -d ' \n' < .python-version)
make_venv "$main_version" .venv
.venv/bin/python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.26" ninja
make_venv 3.13 .venv-3.13

# One abi3 wheel, built with the main Python, installed into both environments.
rm -rf dist
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w dist .
wheel=$(ls dist/tolvane-*.whl)
for venv in .venv .venv-3.13; do
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
done
echo "setup: built $(basename "$wheel")"
