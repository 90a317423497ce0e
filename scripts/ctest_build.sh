# Sourced by the test scripts. build_and_ctest DIR CMAKE_OPTION...: configures and builds the C++
# tests in DIR, then runs them; the per-test lines go to DIR/ctest.log, failures and the summary
# are printed.
build_and_ctest() {
  local build=$1
  shift
  cmake -S . -B "$build" -G Ninja -DTOLVANE_BUILD_TESTS=ON \
    -DTOLVANE_TEST_PYTHON="$PWD/.venv/bin/python" -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
    "$@" >/dev/null
  cmake --build "$build" > "$build/build.log" 2>&1 || { cat "$build/build.log"; return 1; }
  if ! (cd "$build" && ctest --output-on-failure -j "$(nproc)" > ctest.log 2>&1); then
    grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) ' "$build/ctest.log"
    return 1
  fi
  grep -E 'tests passed|tests failed' "$build/ctest.log"
}
