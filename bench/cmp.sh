#!/bin/sh
# cmp.sh: times kavcmp on generated snapshot pairs; not part of make check.
#
#   bench/cmp.sh [runs]
#
# A host-shaped pair (1,000,000 records, 50,000 directories, one directory
# of 200,000 entries in shuffled order): kavcmp -p into /dev/null and
# kavcmp -d, wall time, CPU time and peak resident size, beside the time
# kavshow takes to read both databases. Then 200,000 entries in one
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

# Runs a command once; prints its wall time and CPU time (user + system)
# in seconds and its peak resident size in kilobytes.
timed() {
  t0=$(date +%s%N)
  /usr/bin/time -v "$@" >/dev/null 2>"$tmp/time" || {
    cat "$tmp/time" >&2
    exit 1
  }
  t1=$(date +%s%N)
  awk -v ns=$((t1 - t0)) '/Maximum resident set size/ { m = $NF }
      /User time|System time/ { cpu += $NF }
      END { printf "%.3f %d %.3f\n", ns / 1e9, m, cpu }' "$tmp/time"
}

median() {
  sort -n | awk '{ a[NR] = $1 }
      END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# Runs "$@" $runs times; sets secs, kb and cpu to the medians.
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
  cpu=$(awk '{ print $3 }' "$tmp/runs" | median)
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
gen host
n=$(loaded host)
o=$(older host)
echo "host pair: $o records older, $n loaded in all"
# Reference: kavshow streaming both databases through a path filter that
# matches nothing, which is reading and decoding alone.
measure sh -c "'$bin/kavshow' -d /none '$tmp/host-old' && '$bin/kavshow' -d /none '$tmp/host-new'"
awk -v s="$secs" -v c="$cpu" 'BEGIN {
  printf "reference, kavshow -d /none on both: %.3f s wall, %.3f s CPU\n", s, c }'
measure "$bin/kavcmp" -p "$tmp/host-old" "$tmp/host-new"
awk -v s="$secs" -v c="$cpu" -v kb="$kb" -v n="$n" -v o="$o" 'BEGIN {
  printf "kavcmp -p: %.3f s wall (target <= 3), %.3f s CPU, peak RSS %.1f MB: %.0f bytes per record loaded, %.0f per record of the older (target <= 350)\n",
    s, c, kb / 1024, kb * 1024 / n, kb * 1024 / o }'
measure "$bin/kavcmp" -d "$tmp/diff" "$tmp/host-old" "$tmp/host-new"
awk -v s="$secs" -v c="$cpu" -v kb="$kb" 'BEGIN {
  printf "kavcmp -d: %.3f s wall, %.3f s CPU, peak RSS %.1f MB\n", s, c, kb / 1024 }'
rm -f "$tmp"/host-*

gen big
gen spread
measure "$bin/kavcmp" -p "$tmp/big-old" "$tmp/big-new"
big=$secs bigcpu=$cpu
measure "$bin/kavcmp" -p "$tmp/spread-old" "$tmp/spread-new"
spread=$secs spreadcpu=$cpu
awk -v b="$big" -v s="$spread" -v bc="$bigcpu" -v sc="$spreadcpu" \
    -v nb="$(loaded big)" -v ns="$(loaded spread)" 'BEGIN {
  pb = b * 1e9 / nb; ps = s * 1e9 / ns; qb = bc * 1e9 / nb; qs = sc * 1e9 / ns
  printf "one directory of 200000: %.3f s wall, %.0f ns per record loaded (CPU %.0f ns)\n", b, pb, qb
  printf "1000 directories of 200: %.3f s wall, %.0f ns per record loaded (CPU %.0f ns)\n", s, ps, qs
  printf "ratio %.2f wall, %.2f CPU (target <= 2)\n", pb / ps, qb / qs }'
