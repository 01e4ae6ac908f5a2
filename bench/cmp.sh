#!/bin/sh
# cmp.sh: times kavcmp on generated snapshot pairs; not part of make check.
#
#   bench/cmp.sh [runs]
#
# A host-shaped pair (1,000,000 records, 50,000 directories, one directory
# of 200,000 entries in shuffled order): kavcmp -p into /dev/null and
# kavcmp -d, wall time and peak resident size. Then 200,000 entries in one
# directory against the same number spread over 1,000 directories, per
# record. Every figure is the median of the runs (5 by default).
set -eu
cd "$(dirname "$0")/.."
runs=${1:-5}
make bench >/dev/null
bin=build-bench
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kavcmp-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM

gen() {
  "$bin/bench/gen_cmp" -s "$1" "$tmp/$1-old" "$tmp/$1-new" 2>"$tmp/$1.gen"
}

# Records in both snapshots of a pair, and in the older one alone.
loaded() { awk '{ n += $2 } END { print n }' "$tmp/$1.gen"; }
older() { awk 'NR == 1 { print $2 }' "$tmp/$1.gen"; }

# Runs a command once; prints its wall time in seconds and its peak
# resident size in kilobytes.
timed() {
  t0=$(date +%s%N)
  /usr/bin/time -v "$@" >/dev/null 2>"$tmp/time" || {
    cat "$tmp/time" >&2
    exit 1
  }
  t1=$(date +%s%N)
  awk -v ns=$((t1 - t0)) '/Maximum resident set size/ { m = $NF }
      END { printf "%.3f %d\n", ns / 1e9, m }' "$tmp/time"
}

median() {
  sort -n | awk '{ a[NR] = $1 }
      END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# Runs "$@" $runs times; sets secs and kb to the medians.
measure() {
  : >"$tmp/runs"
  i=0
  while [ $i -lt "$runs" ]; do
    rm -f "$tmp/diff"
    timed "$@" >>"$tmp/runs"
    i=$((i + 1))
  done
  secs=$(awk '{ print $1 }' "$tmp/runs" | median)
  kb=$(awk '{ print $2 }' "$tmp/runs" | median)
}

gen host
n=$(loaded host)
o=$(older host)
echo "host pair: $o records older, $n loaded in all"
measure "$bin/kavcmp" -p "$tmp/host-old" "$tmp/host-new"
awk -v s="$secs" -v kb="$kb" -v n="$n" -v o="$o" 'BEGIN {
  printf "kavcmp -p: %.3f s (target <= 3), peak RSS %.1f MB: %.0f bytes per record loaded, %.0f per record of the older (target <= 350)\n",
    s, kb / 1024, kb * 1024 / n, kb * 1024 / o }'
measure "$bin/kavcmp" -d "$tmp/diff" "$tmp/host-old" "$tmp/host-new"
awk -v s="$secs" -v kb="$kb" 'BEGIN {
  printf "kavcmp -d: %.3f s, peak RSS %.1f MB\n", s, kb / 1024 }'
rm -f "$tmp"/host-*

gen big
gen spread
measure "$bin/kavcmp" -p "$tmp/big-old" "$tmp/big-new"
big=$secs
measure "$bin/kavcmp" -p "$tmp/spread-old" "$tmp/spread-new"
spread=$secs
awk -v b="$big" -v s="$spread" -v nb="$(loaded big)" -v ns="$(loaded spread)" 'BEGIN {
  pb = b * 1e9 / nb; ps = s * 1e9 / ns
  printf "one directory of 200000: %.3f s, %.0f ns per record loaded\n", b, pb
  printf "1000 directories of 200: %.3f s, %.0f ns per record loaded\n", s, ps
  printf "ratio %.2f (target <= 2)\n", pb / ps }'
