#!/usr/bin/env bash
# Runs every test, printing each stage's time: the C++ unit tests, and the Python tests under the
# main Python and under 3.13 against the one abi3 wheel that setup built; the C++ and Python tests
# again under AddressSanitizer and UndefinedBehaviorSanitizer; the C++ tests and the concurrency
# stress under ThreadSanitizer; then every fuzz target, its kept inputs replayed and a short run.
# The stress and fuzz budgets shrink on a machine with fewer than 8 cores.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"

cores=$(nproc)
small() { echo $(( $1 * (cores < 8 ? cores : 8) / 8 )); }  # $1 scaled down below 8 cores
export TOLVANE_STRESS_SECONDS=${TOLVANE_STRESS_SECONDS:-$(small 20)}
export TOLVANE_FUZZ_SECONDS=${TOLVANE_FUZZ_SECONDS:-$(small 30)}

times=()
stage() {  # stage NAME COMMAND...
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  times+=("$(printf '%-24s %5d s' "$name" $((SECONDS - start)))")
  echo "-- ${times[-1]}"
}

release_cpp() {
  source scripts/ctest_build.sh
  build_and_ctest build/cpp -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_MODULE=OFF
}

pytest_in() {  # $1: a virtual environment with the wheel installed
  echo "pytest with $("$1/bin/python" -c 'import sys; print(sys.version.split()[0])')"
  # Run from tests/ so that the installed package, not the source tree, is imported.
  (cd tests && "../$1/bin/python" -m pytest -q -p no:cacheprovider .)
}

stage setup scripts/setup.sh
export TOLVANE_SET_UP=1  # the later stages need not repeat it
stage "C++ tests" release_cpp
stage "pytest 3.12" pytest_in .venv
stage "pytest 3.13" pytest_in .venv-3.13
stage "ASan+UBSan" scripts/test_sanitized.sh
stage "TSan" env SANITIZE=thread scripts/test_sanitized.sh test_stress.py
stage fuzz scripts/fuzz.sh
echo "== every test passed ($cores cores)"
printf '%s\n' "${times[@]}"
