#!/usr/bin/env bash
# Fuzzes every parser of outside text (tests/fuzz/*_fuzz.cpp) with libFuzzer under
# AddressSanitizer and UndefinedBehaviorSanitizer. Each target first replays its corpus
# (tests/fuzz/corpus/<name>: seeds and every input that once failed), then fuzzes for
# TOLVANE_FUZZ_SECONDS (default 30) from a scratch copy of it in build/fuzz, as many targets
# at once as there are cores. A failing input is kept in build/fuzz/artifacts, to be copied
# into the corpus as crash-<what> once its fault is fixed. Exits non-zero when any target fails.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -n ${TOLVANE_SET_UP:-} ]] || scripts/setup.sh >/dev/null

seconds=${TOLVANE_FUZZ_SECONDS:-30}
build=build/fuzz
export PATH="$PWD/.venv/bin:$PATH"
source scripts/build_lib.sh
configure_and_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 \
  -DTOLVANE_BUILD_FUZZERS=ON -DTOLVANE_BUILD_MODULE=OFF
mkdir -p "$build/artifacts" "$build/logs"

# Prints "<name>: <result>" and leaves "ok" or "failed" in logs/<name>.result.
fuzz_target() {
  local name=$1 seeds=tests/fuzz/corpus/$1 work=$build/corpus/$1 log=$build/logs/$1
  local options=(-max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$build/artifacts/$name-")
  local result=failed
  mkdir -p "$work"
  if ! "$build/${name}_fuzz" "${options[@]}" "$seeds"/* >"$log.replay" 2>&1; then
    echo "$name: FAILED replaying its corpus: $(grep -m1 -E 'ERROR|check failed' "$log.replay")" \
      "(log: $log.replay)"
  elif ! "$build/${name}_fuzz" "${options[@]}" -max_total_time="$seconds" "$work" "$seeds" \
      >"$log.log" 2>&1; then
    echo "$name: FAILED: $(grep -m1 -E 'ERROR|check failed' "$log.log")" \
      "$(grep -m1 -o 'Test unit written to .*' "$log.log") (log: $log.log)"
  else
    result=ok
    echo "$name: ok, $(grep -o 'number_of_executed_units: *[0-9]*' "$log.log" | grep -o '[0-9]*$')" \
      "executions in ${seconds}s"
  fi
  echo "$result" >"$log.result"
}

names=()
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  names+=("$name")
  rm -f "$build/logs/$name.result"
  while (($(jobs -rp | wc -l) >= $(nproc))); do wait -n || true; done
  fuzz_target "$name" &
done
wait

status=0
for name in "${names[@]}"; do
  [[ $(cat "$build/logs/$name.result" 2>/dev/null) == ok ]] || status=1
done
exit $status
