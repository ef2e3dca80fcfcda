#!/usr/bin/env bash
# The scale benchmark, run by hand (not in CI; minutes to an hour): pairs of one large file each,
# generated deterministically (scripts/bench/scale_pair.cpp: a program-like old file, a new one with
# scattered small changes, inserted, deleted and moved blocks), built and applied by qvpatch and,
# in the same run, by HDiffPatch and zstd --patch-from; prints patch bytes, build and apply seconds
# and peak memory, with our ratio to the best peer of each column.
#
#   scripts/bench-scale.sh                   sizes 256, 1024 and 4096 MiB
#   SIZES="256" SEED=7 scripts/bench-scale.sh
#   TIMEOUT=1800   seconds a build may take before it counts as failed
#   MEMORY_GB=20   address space a build may use (beyond it a build fails, as out of memory)
#   TOOLS="qvpatch hdiffpatch zstd"   which to run
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench=${BENCH_DIR:-$root/../shared/bench}
export BENCH_DATA=${BENCH_DATA:-${XDG_CACHE_HOME:-$HOME/.cache}/patch-bench}
SIZES=${SIZES:-"256 1024 4096"}
SEED=${SEED:-1}
TIMEOUT=${TIMEOUT:-1800}
MEMORY_GB=${MEMORY_GB:-20}
TOOLS=${TOOLS:-"qvpatch hdiffpatch zstd"}
wants() { [[ " $TOOLS " == *" $1 "* ]]; }

"$root/scripts/install-deps.sh"
dpkg-query -W -f='${Status}' time 2>/dev/null | grep -q "install ok installed" || apt-get install -y -qq time >/dev/null
cmake --preset linux >/dev/null && cmake --build --preset linux --target qvpatch >/dev/null || exit 1
qvpatch=$root/build/linux/bin/qvpatch
hdiff=$(bash "$bench/build-hdiffpatch.sh" 2>/dev/null) || hdiff=""
out=$BENCH_DATA/scale
mkdir -p "$out"
g++ -O2 -o "$out/scale_pair" "$root/scripts/bench/scale_pair.cpp" || exit 1

# run NAME LIMIT_KB CMD...: time and peak memory of CMD, under a time and address-space limit.
# Sets secs, rss_mb and ok (0 when the command succeeded).
run() {
  local name=$1 limit=$2
  shift 2
  local t0 t1
  t0=$EPOCHREALTIME
  ( ulimit -v "$limit"; exec /usr/bin/time -f '%M' -o "$work/$name.rss" timeout "$TIMEOUT" "$@" ) \
    >"$work/$name.out" 2>"$work/$name.err"
  ok=$?
  t1=$EPOCHREALTIME
  secs=$(printf '%.2f' "$(echo "$t1 - $t0" | bc)")
  rss_mb=$(( $(tail -n1 "$work/$name.rss" 2>/dev/null || echo 0) / 1024 ))
}

size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

printf '\n%-7s %-9s %12s %9s %10s %9s %10s  %s\n' size tool patch_bytes build_s build_MB apply_s apply_MB result
for mib in $SIZES; do
  work=$out/$mib
  mkdir -p "$work/old" "$work/new"
  if [ ! -s "$work/new/data.bin" ] || [ "$(cat "$work/seed" 2>/dev/null)" != "$SEED" ]; then
    "$out/scale_pair" "$SEED" "$mib" "$work/old/data.bin" "$work/new/data.bin" || exit 1
    echo "$SEED" >"$work/seed"
  fi
  declare -A bytes=() bsec=() bmb=() asec=() amb=()
  unlimited=$((MEMORY_GB * 1024 * 1024))

  # qvpatch: a tree of one file each side.
  rm -rf "$work/q.pat" "$work/inst"
  if wants qvpatch; then
  run q-build "$unlimited" "$qvpatch" build "$work/old" "$work/new" "$work/q.pat"
  if [ $ok -eq 0 ]; then
    bytes[qvpatch]=$(size_of "$work/q.pat"); bsec[qvpatch]=$secs; bmb[qvpatch]=$rss_mb
    cp -r --reflink=auto "$work/old" "$work/inst"
    run q-apply "$unlimited" "$qvpatch" apply "$work/inst" "$work/q.pat"
    result=$([ $ok -eq 0 ] && cmp -s "$work/inst/data.bin" "$work/new/data.bin" && echo ok || echo "apply failed ($(tail -c 200 "$work/q-apply.err"))")
    asec[qvpatch]=$secs; amb[qvpatch]=$rss_mb
    # And within the address space of a 32-bit process.
    rm -rf "$work/inst"; cp -r --reflink=auto "$work/old" "$work/inst"
    run q-apply32 2097152 "$qvpatch" apply "$work/inst" "$work/q.pat"
    [ $ok -eq 0 ] && cmp -s "$work/inst/data.bin" "$work/new/data.bin" && result="$result; in 2 GiB: ok" \
      || result="$result; in 2 GiB: fails"
  else
    result="build failed ($(tail -c 200 "$work/q-build.err" | tr '\n' ' '))"
  fi
  printf '%-7s %-9s %12s %9s %10s %9s %10s  %s\n' "$mib" qvpatch "${bytes[qvpatch]:--}" "${bsec[qvpatch]:--}" \
    "${bmb[qvpatch]:--}" "${asec[qvpatch]:--}" "${amb[qvpatch]:--}" "$result"
  rm -rf "$work/inst" "$work/q.pat"
  fi

  # HDiffPatch, as the issue measured it.
  if ! wants hdiffpatch; then
    :
  elif [ -n "$hdiff" ]; then
    rm -f "$work/h.pat" "$work/h.out"
    run h-build "$unlimited" "$hdiff/hdiffz" -m-6 -c-zstd-21-27 "$work/old/data.bin" "$work/new/data.bin" "$work/h.pat"
    if [ $ok -eq 0 ]; then
      bytes[hdiffpatch]=$(size_of "$work/h.pat"); bsec[hdiffpatch]=$secs; bmb[hdiffpatch]=$rss_mb
      run h-apply "$unlimited" "$hdiff/hpatchz" "$work/old/data.bin" "$work/h.pat" "$work/h.out"
      result=$([ $ok -eq 0 ] && cmp -s "$work/h.out" "$work/new/data.bin" && echo ok || echo "apply failed")
      asec[hdiffpatch]=$secs; amb[hdiffpatch]=$rss_mb
    else
      result="build failed"
    fi
    printf '%-7s %-9s %12s %9s %10s %9s %10s  %s\n' "$mib" hdiffpatch "${bytes[hdiffpatch]:--}" "${bsec[hdiffpatch]:--}" \
      "${bmb[hdiffpatch]:--}" "${asec[hdiffpatch]:--}" "${amb[hdiffpatch]:--}" "$result"
    rm -f "$work/h.pat" "$work/h.out"
  else
    echo "$mib    hdiffpatch: skipped (it did not build)"
  fi

  # zstd --patch-from: its window reaches 2 GiB at most.
  if ! wants zstd; then
    :
  elif [ "$mib" -lt 2048 ]; then
    rm -f "$work/z.pat" "$work/z.out"
    run z-build "$unlimited" zstd -q -19 --long=31 --patch-from="$work/old/data.bin" "$work/new/data.bin" -o "$work/z.pat"
    if [ $ok -eq 0 ]; then
      bytes[zstd]=$(size_of "$work/z.pat"); bsec[zstd]=$secs; bmb[zstd]=$rss_mb
      run z-apply "$unlimited" zstd -q -d --long=31 --patch-from="$work/old/data.bin" "$work/z.pat" -o "$work/z.out"
      result=$([ $ok -eq 0 ] && cmp -s "$work/z.out" "$work/new/data.bin" && echo ok || echo "apply failed")
      asec[zstd]=$secs; amb[zstd]=$rss_mb
    else
      result=$([ $ok -eq 124 ] && echo "build over ${TIMEOUT}s" || echo "build failed")
    fi
    printf '%-7s %-9s %12s %9s %10s %9s %10s  %s\n' "$mib" zstd "${bytes[zstd]:--}" "${bsec[zstd]:--}" \
      "${bmb[zstd]:--}" "${asec[zstd]:--}" "${amb[zstd]:--}" "$result"
    rm -f "$work/z.pat" "$work/z.out"
  else
    echo "$mib    zstd: skipped (--patch-from reaches 2 GiB at most)"
  fi

  # Ours over the best peer measured, column by column.
  ratio() {
    local -n column=$1
    local best=""
    for t in hdiffpatch zstd; do
      [ -n "${column[$t]:-}" ] || continue
      if [ -z "$best" ] || (( $(echo "${column[$t]} < $best" | bc) )); then best=${column[$t]}; fi
    done
    if [ -n "${column[qvpatch]:-}" ] && [ -n "$best" ] && (( $(echo "$best > 0" | bc) )); then
      printf '%.2f' "$(echo "${column[qvpatch]} / $best" | bc -l)"
    else
      printf -- '-'
    fi
  }
  printf '%-7s %-9s %12s %9s %10s %9s %10s\n' "$mib" "ours/best" "$(ratio bytes)" "$(ratio bsec)" "$(ratio bmb)" \
    "$(ratio asec)" "$(ratio amb)"
  unset bytes bsec bmb asec amb
done
