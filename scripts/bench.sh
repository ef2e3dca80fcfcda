#!/usr/bin/env bash
# The patch benchmark, run by hand (not in CI): on the corpus of shared/bench (real program
# versions), builds and applies patches with qvpatch and, in the same run, with the peers xdelta3,
# bsdiff, zstd --patch-from and HDiffPatch (shared/bench/peers.sh), and prints for each corpus the patch bytes,
# build and apply seconds and peak memory, with our ratio to each peer (HDiffPatch's rows too: the
# build time against its faster one, and the build memory against 8 x the largest file + 256 MiB).
#
#   scripts/bench.sh                 REPS=1 by default: each peer, and our apply, run REPS times
#                                    (the median is shown; REPS=3 for steadier times)
#   BENCH_DATA=DIR scripts/bench.sh  where the corpus and results live (default ~/.cache/patch-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bench=${BENCH_DIR:-$root/../shared/bench}
export BENCH_DATA=${BENCH_DATA:-${XDG_CACHE_HOME:-$HOME/.cache}/patch-bench}
export REPS=${REPS:-1}
export TOOLS=${TOOLS:-"xdelta3 bsdiff zstd zstd-tar hdiffpatch hdiffpatch-dir"}
LEVEL=${LEVEL:-19}

"$root/scripts/install-deps.sh"
for p in xdelta3 bsdiff time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { apt-get install -y -qq "$p" >/dev/null || sudo apt-get install -y -qq "$p" >/dev/null; }
done
cmake --preset linux >/dev/null
cmake --build --preset linux --target qvpatch >/dev/null
qvpatch="$root/build/linux/bin/qvpatch"

bash "$bench/fetch-corpus.sh" >/dev/null
if [ "${SKIP_PEERS:-}" = "" ]; then
  bash "$bench/peers.sh" >/dev/null
fi

out="$BENCH_DATA/out"
ours="$out/ours.tsv"
printf 'corpus\tpatch_bytes\tbuild_s\tbuild_rss_kb\tapply_s\tapply_rss_kb\tcheck\tbudget_kb\tlargest\n' >"$ours"
for dir in "$BENCH_DATA"/corpus/*/; do
  c=$(basename "$dir")
  [ -d "$dir/old" ] && [ -d "$dir/new" ] || continue
  work="$out/work-ours/$c"
  rm -rf "$work"
  mkdir -p "$work"
  t0=$EPOCHREALTIME
  /usr/bin/time -f '%M' -o "$work/build.rss" "$qvpatch" build --level "$LEVEL" "$dir/old" "$dir/new" "$work/update.pat" >/dev/null 2>"$work/build.err"
  t1=$EPOCHREALTIME
  # Applied REPS times, each to a fresh copy of the old tree, as the peers are decoded REPS times:
  # the median time, the largest memory.
  check=ok
  applied=()
  rss=0
  for rep in $(seq 1 "$REPS"); do
    rm -rf "$work/installed"
    cp -a "$dir/old" "$work/installed"
    sync
    t2=$EPOCHREALTIME
    /usr/bin/time -f '%M' -o "$work/apply.rss" "$qvpatch" apply "$work/installed" "$work/update.pat" >/dev/null 2>"$work/apply.err"
    t3=$EPOCHREALTIME
    applied+=("$(awk -v a="$t2" -v b="$t3" 'BEGIN{printf "%.4f", b-a}')")
    rss=$(( $(tail -n1 "$work/apply.rss") > rss ? $(tail -n1 "$work/apply.rss") : rss ))
    diff -r "$work/installed" "$dir/new" >/dev/null || check=DIFFERENT
  done
  apply_s=$(printf '%s\n' "${applied[@]}" | sort -n | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
  # The memory budget: the largest changed file's old and new sizes together, plus 64 MiB.
  budget=$(cd "$dir/old" && find . -type f | while read -r f; do
    if [ -f "../new/$f" ] && ! cmp -s "$f" "../new/$f"; then
      echo $(( $(stat -c %s "$f") + $(stat -c %s "../new/$f") ))
    fi
  done | sort -n | tail -n1)
  budget_kb=$(( (${budget:-0} / 1024) + 65536 ))
  largest=$(find "$dir/old" "$dir/new" -type f -printf '%s\n' | sort -n | tail -n1)
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$c" "$(stat -c %s "$work/update.pat")" \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.2f", b-a}')" "$(tail -n1 "$work/build.rss")" \
    "$apply_s" "$rss" "$check" \
    "$budget_kb" "${largest:-0}" >>"$ours"
  rm -rf "$work/installed"
done

python3 - "$out/peers-raw.tsv" "$out/peers-meta.tsv" "$ours" <<'PY'
import csv, statistics, sys
raw, meta, ours = sys.argv[1:4]
added = {}
for row in csv.reader(open(meta), delimiter='\t'):
    if row:
        added[row[0]] = int(row[7])
per = {}
for r in csv.DictReader(open(raw), delimiter='\t'):
    key = (r['corpus'], r['tool'], r['rep'])
    p = per.setdefault(key, {'bytes': 0, 'enc': 0.0, 'dec': 0.0, 'rss': 0, 'ok': True})
    p['bytes'] += int(r['patch_bytes']); p['enc'] += float(r['enc_s']); p['dec'] += float(r['dec_s'])
    p['rss'] = max(p['rss'], int(r['dec_rss_kb'])); p['ok'] &= r['status'] == 'ok'
peers = {}
for (c, t, rep), p in per.items():
    peers.setdefault((c, t), []).append(p)
def med(c, t, k):
    return statistics.median(p[k] for p in peers[(c, t)])
rows = list(csv.DictReader(open(ours), delimiter='\t'))
peer_tools = ('xdelta3', 'bsdiff', 'zstd', 'zstd-tar', 'hdiffpatch', 'hdiffpatch-dir')
print('| corpus | qvpatch bytes | build s | apply s | apply RSS MiB (budget) | check | ' +
      'bytes vs xdelta3 | vs bsdiff | vs zstd | vs zstd-tar | vs hdiffpatch | vs hdiffpatch-dir | vs best | ' +
      'apply vs zstd -d | build vs zstd -19 | build vs fastest HDiffPatch | build RSS MiB (8 x largest + 256) |')
print('|---|--:|--:|--:|--:|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|')
for o in rows:
    c = o['corpus']
    def total(t):
        if (c, t) not in peers: return None
        return med(c, t, 'bytes') + (0 if t in ('zstd-tar', 'hdiffpatch-dir') else added.get(c, 0))
    b = int(o['patch_bytes'])
    ratios = []
    for t in peer_tools:
        v = total(t)
        ratios.append('-' if not v else f'{b / v:.3f} ({int(v):,})')
    sizes = [total(t) for t in peer_tools if total(t)]
    ratios.append(f'{b / min(sizes):.3f}' if sizes else '-')
    apply_ratio = float(o['apply_s']) / med(c, 'zstd', 'dec') if (c, 'zstd') in peers else float('nan')
    build_ratio = float(o['build_s']) / med(c, 'zstd', 'enc') if (c, 'zstd') in peers else float('nan')
    hdp = [med(c, t, 'enc') for t in ('hdiffpatch', 'hdiffpatch-dir') if (c, t) in peers]
    hdp_ratio = float(o['build_s']) / min(hdp) if hdp and min(hdp) > 0 else float('nan')
    limit_mib = 8 * int(o['largest']) / 2**20 + 256
    print(f"| {c} | {b:,} | {o['build_s']} | {o['apply_s']} | {int(o['apply_rss_kb'])/1024:.0f} "
          f"({int(o['budget_kb'])/1024:.0f}) | {o['check']} | " + ' | '.join(ratios) +
          f" | {apply_ratio:.2f} | {build_ratio:.2f} | {hdp_ratio:.2f} | "
          f"{int(o['build_rss_kb'])/1024:.0f} ({limit_mib:.0f}) |")
PY
