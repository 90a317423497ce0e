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

source scripts/build_lib.sh
release_cpp() {
  configure_and_build build/cpp -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_TESTS=ON \
    -DTOLVANE_BUILD_MODULE=OFF
  run_ctest build/cpp
}

# The sanitized and fuzz builds go on in the background, at low priority, beside the release
# tests; their stages then find them built (or build again, showing what failed).
declare -A building
build_in_background() {  # $1: the stage's name, then its command
  local log="build/background-${1//[^a-zA-Z]/}.log"
  mkdir -p build
  (TOLVANE_BUILD_ONLY=1 nice "${@:2}" > "$log" 2>&1 || echo "background build failed: see $log") &
  building[$1]=$!
}
staged() {  # staged NAME COMMAND...: a stage whose build went on in the background
  wait "${building[$1]}"
  stage "$@"
}

pytest_in() {  # $1: a virtual environment with the wheel installed
  echo "pytest with $("$1/bin/python" -c 'import sys; print(sys.version.split()[0])')"
  # Run from tests/ so that the installed package, not the source tree, is imported.
  (cd tests && "../$1/bin/python" -m pytest -q -p no:cacheprovider .)
}

stage setup scripts/setup.sh
export TOLVANE_SET_UP=1  # the later stages need not repeat it
build_in_background ASan+UBSan scripts/test_sanitized.sh
build_in_background TSan env SANITIZE=thread scripts/test_sanitized.sh
build_in_background fuzz scripts/fuzz.sh
stage "C++ tests" release_cpp
stage "pytest 3.12" pytest_in .venv
stage "pytest 3.13" pytest_in .venv-3.13
staged ASan+UBSan scripts/test_sanitized.sh
staged TSan env SANITIZE=thread scripts/test_sanitized.sh test_stress.py
staged fuzz scripts/fuzz.sh
echo "== every test passed: $SECONDS s on $cores cores"
printf '%s\n' "${times[@]}"
