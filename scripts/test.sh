#!/usr/bin/env bash
# Builds every preset and runs every test: natively on Linux (also with the address and undefined-
# behaviour sanitizers), the win32 binaries' checks, and the win64 programs under Wine on a private X
# display.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh

# Warnings in the project's own code are errors here.
for preset in linux linux-asan win32 win64; do
  echo "== build $preset"
  cmake --preset "$preset" -DQV_WERROR=ON >/dev/null
  cmake --build --preset "$preset"
done

. scripts/wine-session.sh
trap wine_session_stop EXIT

passed=0
failed=0
status=0
run_ctest() {
  local preset=$1 log
  log=$(mktemp)
  echo "== test $preset"
  if ! ctest --preset "$preset" --timeout 300 2>&1 | tee "$log"; then status=1; fi
  local line
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n1 || true)
  if [ -n "$line" ]; then
    local total nfail
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    nfail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
  else
    status=1
  fi
  rm -f "$log"
}

run_ctest linux
run_ctest linux-asan
run_ctest win32
mkdir -p build/win64/artifacts
wine_session_start "$root/build/win64/wineprefix"
run_ctest win64
wine_session_stop
# Screenshots from the Wine tests, as PNG beside the BMP the window helper saved.
if command -v convert >/dev/null; then
  for bmp in build/win64/artifacts/*.bmp; do
    [ -e "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" || true
  done
fi

# A short, time-boxed fuzzing run of the patch engine (its saved inputs replay in every preset).
echo "== fuzz"
fuzz_log=$(mktemp)
if scripts/fuzz.sh "${QV_FUZZ_SECONDS:-20}" 2>&1 | tee "$fuzz_log"; then :; else status=1; fi
passed=$((passed + $(grep -c 'nothing found' "$fuzz_log" || true)))
failed=$((failed + $(grep -c 'FAILED' "$fuzz_log" || true)))
rm -f "$fuzz_log"

echo
echo "${passed} passed, ${failed} failed"
exit $status
