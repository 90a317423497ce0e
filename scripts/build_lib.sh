# Sourced by the test scripts.

# configure_and_build DIR CMAKE_OPTION...: configures and builds DIR, its log in DIR/build.log
# (printed on failure). With TOLVANE_BUILD_ONLY set, the calling script ends after the build.
configure_and_build() {
  local build=$1
  shift
  cmake -S . -B "$build" -G Ninja -DTOLVANE_TEST_PYTHON="$PWD/.venv/bin/python" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
  cmake --build "$build" > "$build/build.log" 2>&1 || { cat "$build/build.log"; return 1; }
  [[ -z ${TOLVANE_BUILD_ONLY:-} ]] || exit 0
}

# run_ctest DIR: runs the C++ tests built in DIR; the per-test lines go to DIR/ctest.log, failures
# and the summary are printed.
run_ctest() {
  if ! (cd "$1" && ctest --output-on-failure -j "$(nproc)" > ctest.log 2>&1); then
    grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) ' "$1/ctest.log"
    return 1
  fi
  grep -E 'tests passed|tests failed' "$1/ctest.log"
}
