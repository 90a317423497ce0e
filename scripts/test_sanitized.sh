#!/usr/bin/env bash
# The C++ tests and Python tests under a sanitizer: SANITIZE=address,undefined (the default) or
# thread. The Python tests run against a sanitized build of the module loaded into the ordinary
# interpreter with the sanitizer's runtime preloaded; arguments choose them (default: all of
# tests/). Every report, also one from a child process, fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -n ${TOLVANE_SET_UP:-} ]] || scripts/setup.sh >/dev/null

sanitize=${SANITIZE:-address,undefined}
build=$PWD/build/sanitize-${sanitize//,/-}
reports=$build/reports
rm -rf "$reports" && mkdir -p "$reports"
if [[ $sanitize == thread ]]; then
  runtime=$(g++ -print-file-name=libtsan.so)
  export TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0 suppressions=$PWD/tests/tsan.supp log_path=$reports/tsan"
else
  runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  export ASAN_OPTIONS="halt_on_error=1 detect_leaks=1 log_path=$reports/asan"
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp print_suppressions=0"
  export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1 log_path=$reports/ubsan"
fi

# Prints every report and fails if there is one.
check_reports() {
  if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/*
    echo "sanitizer reports: $(ls "$reports" | wc -l)" >&2
    exit 1
  fi
}

export PATH="$PWD/.venv/bin:$PATH"
source scripts/build_lib.sh
configure_and_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE="$sanitize" \
  -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_BUILD_MODULE=ON
run_ctest "$build" || { check_reports; exit 1; }
check_reports

# A package directory that holds the sanitized module in place of the installed one.
pkg=$build/python
rm -rf "$pkg" && mkdir -p "$pkg/tolvane"
cp python/tolvane/*.py "$pkg/tolvane/"
cp "$build"/_quill_core*.so "$pkg/tolvane/"
cd tests
LD_PRELOAD="$runtime" PYTHONPATH="$pkg" ../.venv/bin/python -m pytest -q -p no:cacheprovider "${@:-.}" \
  || { check_reports; exit 1; }
check_reports
