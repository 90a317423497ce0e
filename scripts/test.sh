#!/usr/bin/env bash
# Runs every test: the C++ unit tests through ctest, then the Python tests under the main Python
# and under 3.13 against the one abi3 wheel that setup built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_TEST_PYTHON="$PWD/.venv/bin/python" -DTOLVANE_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp
# The per-test lines go to a log; failures and the summary are printed.
if ! (cd build/cpp && ctest --output-on-failure -j "$(nproc)" > ctest.log 2>&1); then
  grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) ' build/cpp/ctest.log
  exit 1
fi
grep -E 'tests passed|tests failed' build/cpp/ctest.log

for venv in .venv .venv-3.13; do
  echo "== pytest with $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
  # Run from tests/ so that the installed package, not the source tree, is imported.
  (cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done
