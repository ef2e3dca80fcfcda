#!/usr/bin/env bash
# Kills and concurrent runs of `qvpatch apply` on a realistic update, counted (run by hand, not in
# CI; a few minutes). Each killed update is put right by `qvpatch recover` and must leave the tree
# exactly old or exactly new; two or three updates started together must end with the tree new and
# every one of them either updated it, found it up to date, or was refused at once (status 9).
#
#   scripts/stress-update.sh [KILLS] [ROUNDS]     (defaults: 300 kills, 60 rounds of each kind)
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-300}
rounds=${2:-60}

cmake --preset linux >/dev/null
cmake --build --preset linux --target qvpatch >/dev/null
qvpatch=$PWD/build/linux/bin/qvpatch

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two versions of a tree of 2,000 files in 40 directories: text and binary files, 300 changed,
# 50 removed, 50 added, a directory added and one removed.
python3 - "$work" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
files = {}
for i in range(2000):
    d = f"dir{i % 40:02d}"
    if i % 3 == 0:
        data = bytes(rnd.getrandbits(8) for _ in range(rnd.randint(100, 20000)))
        name = f"{d}/lib{i}.dll"
    else:
        data = "".join(f"line {j} of file {i}\n" for j in range(rnd.randint(5, 400))).encode()
        name = f"{d}/text{i}.txt"
    files[name] = data
new = dict(files)
names = sorted(files)
for name in rnd.sample(names, 300):
    data = bytearray(new[name])
    for _ in range(5):
        p = rnd.randrange(len(data))
        data[p] ^= 0x5A
    new[name] = bytes(data) + b"v2\n"
for name in rnd.sample(names, 50):
    new.pop(name, None)
for i in range(50):
    new[f"dir{i % 40:02d}/added{i}.txt"] = f"added {i}\n".encode() * 50
for name in [n for n in new if n.startswith("dir39/")]:
    del new[name]
new["extra/sub/new.txt"] = b"in a new directory\n"
for name, data in files.items():
    write(f"{root}/old/{name}", data)
for name, data in new.items():
    write(f"{root}/new/{name}", data)
PY

"$qvpatch" build "$work/old" "$work/new" "$work/update.pat" --level 3 >/dev/null
state() {  # the tree's files and directories, hashed
  (cd "$1" && find . -mindepth 1 \( -type d -printf 'd %p\n' \) -o \( -type f -exec sha256sum {} + \) | sort | sha256sum | cut -c1-16)
}
oldState=$(state "$work/old")
newState=$(state "$work/new")
fresh() {
  rm -rf "$work/inst"
  cp -a "$work/old" "$work/inst"
}

# How long a whole update takes, for choosing when to kill.
fresh
start=$(date +%s%N)
"$qvpatch" apply "$work/inst" "$work/update.pat" >/dev/null
duration=$(( ($(date +%s%N) - start) / 1000 ))  # microseconds
[ "$(state "$work/inst")" = "$newState" ] || { echo "the update itself does not give the new tree" >&2; exit 1; }
echo "one update takes $((duration / 1000)) ms"

sleep_us() { sleep "$(printf '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000)))"; }

kill_run() {  # DELAY_US: kill -9 that long after the start, recover, tell old, new or other
  local delay=$1 pid now
  fresh
  "$qvpatch" apply "$work/inst" "$work/update.pat" >/dev/null 2>&1 &
  pid=$!
  sleep_us "$delay"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if ! "$qvpatch" recover "$work/inst" >/dev/null 2>"$work/recover.err"; then
    echo "recover failed: $(cat "$work/recover.err")" >&2
    echo other
    return
  fi
  now=$(state "$work/inst")
  if [ "$now" = "$oldState" ]; then echo old; elif [ "$now" = "$newState" ]; then echo new; else echo other; fi
}

# Kills over the whole run; then kills aimed at the commit, around the moment where the outcome
# turns from old to new in the first series.
lastOld=0
firstNew=$((duration * 2))
for series in whole aimed; do
  if [ $series = whole ]; then from=0; to=$((duration * 11 / 10)); else
    from=$(( (lastOld < firstNew ? lastOld : firstNew) - duration / 20 ))
    to=$(( (lastOld > firstNew ? lastOld : firstNew) + duration / 20 ))
    [ $from -lt 0 ] && from=0
  fi
  old=0 new=0 other=0
  for _ in $(seq "$kills"); do
    delay=$(( from + (RANDOM * 32768 + RANDOM) % (to - from + 1) ))
    case $(kill_run "$delay") in
      old) old=$((old + 1)); [ $delay -gt $lastOld ] && lastOld=$delay ;;
      new) new=$((new + 1)); [ $delay -lt $firstNew ] && firstNew=$delay ;;
      *) other=$((other + 1)) ;;
    esac
  done
  echo "kill -9 ($series run, $((from / 1000))-$((to / 1000)) ms after the start): $kills runs," \
       "recovered to old $old, to new $new, neither $other"
done

for count in 2 3; do
  refused=0 updated=0 current=0 bad=0 failed=0
  for _ in $(seq "$rounds"); do
    fresh
    pids=()
    for _ in $(seq "$count"); do
      sleep_us $(( duration * (RANDOM % 20) / 100 ))
      "$qvpatch" apply "$work/inst" "$work/update.pat" >"$work/out.$RANDOM.$BASHPID" 2>&1 &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do
      code=0
      wait "$pid" || code=$?
      case $code in
        0) ;;
        9) refused=$((refused + 1)) ;;
        *) failed=$((failed + 1)); echo "exit $code:" $(grep '^qvpatch:' "$work"/out.* | grep -v 'signed' | sort -u) >&2 ;;
      esac
    done
    updated=$((updated + $(cat "$work"/out.* | grep -c '^updated' || true)))
    current=$((current + $(cat "$work"/out.* | grep -c '^already up to date' || true)))
    rm -f "$work"/out.*
    if [ "$(state "$work/inst")" != "$newState" ] || [ -e "$work/inst/.qvpatch.tmp" ]; then bad=$((bad + 1)); fi
  done
  echo "$count updates at once: $rounds rounds; updated $updated, already up to date $current, refused $refused," \
       "other failures $failed; rounds not ending new $bad"
done
