#!/usr/bin/env bash
# Builds the patch engine's libFuzzer programs with clang (build/fuzz) and runs each for a while,
# starting from the saved inputs in tests/fuzz/corpus. New inputs go to build/fuzz/corpus-*; a
# crash leaves its input in build/fuzz/ and fails the run. Saved inputs that are worth keeping are
# copied into tests/fuzz/corpus by hand (libFuzzer's -merge=1 keeps the set small).
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     default 20
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is not installed; skipped" >&2
  exit 0
fi
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON >/dev/null
cmake --build build/fuzz >/dev/null
status=0
for target in parse decode apply; do
  work=build/fuzz/corpus-$target
  mkdir -p "$work"
  cp -n tests/fuzz/corpus/$target/* "$work/" 2>/dev/null || true
  log=build/fuzz/$target.log
  if (cd build/fuzz && ASAN_OPTIONS=detect_leaks=1 "./bin/fuzz_$target" -max_total_time="$seconds" \
        -rss_limit_mb=2048 -timeout=10 "corpus-$target" >"$target.log" 2>&1); then
    echo "fuzz $target: $(grep -o 'Done [0-9]* runs' "$log" | tail -n1) in ${seconds}s, nothing found"
  else
    echo "fuzz $target: FAILED, see $log" >&2
    tail -n 30 "$log" >&2
    status=1
  fi
done
exit $status
