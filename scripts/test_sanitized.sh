#!/usr/bin/env bash
# Every test under AddressSanitizer and UndefinedBehaviorSanitizer (or, with SANITIZE=thread,
# ThreadSanitizer): the C++ tests, then the Python tests against a sanitized build of the module
# loaded into the ordinary interpreter with the sanitizer runtime preloaded.
# Arguments go to pytest, so `-k stress` runs a chosen subset of the Python tests; CPP_TESTS, a
# ctest regular expression, does the same for the C++ tests (CPP_TESTS=none runs none of them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null

sanitize=${SANITIZE:-address,undefined}
build=build/sanitize-${sanitize//,/-}
if [[ $sanitize == thread ]]; then
  runtime=$(g++ -print-file-name=libtsan.so)
  export TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0 suppressions=$PWD/tests/tsan.supp"
else
  runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  # The interpreter itself is not instrumented; its allocations are not leaks of ours.
  export ASAN_OPTIONS="detect_leaks=0 halt_on_error=1"
  export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
fi

export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE="$sanitize" \
  -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_TEST_PYTHON="$PWD/.venv/bin/python" -DTOLVANE_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$build"
cpp_tests=${CPP_TESTS:-.}
if [[ $cpp_tests != none ]]; then
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" -R "$cpp_tests" > ctest.log 2>&1) \
    || { grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) ' "$build/ctest.log"; exit 1; }
  grep -E 'tests passed|tests failed' "$build/ctest.log"
fi

# A package directory that holds the sanitized module in place of the installed one.
pkg=$PWD/$build/python
rm -rf "$pkg" && mkdir -p "$pkg/tolvane"
cp python/tolvane/*.py "$pkg/tolvane/"
cp "$build"/_quill_core*.so "$pkg/tolvane/"
cd tests
LD_PRELOAD="$runtime" PYTHONPATH="$pkg" ../.venv/bin/python -m pytest -q -p no:cacheprovider "$@" .
