#!/bin/sh
# Times kavjson on a large snapshot into /dev/null beside kavshow -p of the
# same file: the two take turns within each round, so both see the same
# load. Prints, for each, the median wall time of the rounds and records
# per second from it, and the median CPU time (user + system): on a busy
# machine the wall time includes waiting for a core.
#
#   bench/json.sh [records] [runs]      (after "make bench")
set -e
cd "$(dirname "$0")/.."
n=${1:-1000000}
runs=${2:-5}
bin=build-bench
dir=${TMPDIR:-/tmp}/kavbench.$$
mkdir -p "$dir"
trap 'rm -rf "$dir"' EXIT
db=$dir/snap
"$bin/bench/gen_snapshot" -n "$n" "$db" >/dev/null
echo "snapshot: $n records, $(wc -c <"$db") bytes;" \
    "JSON: $("$bin/kavjson" "$db" | wc -c) bytes; median of $runs rounds"

# Appends "wall-microseconds user system" of one run of the command to $1.
once() {
  times=$1
  shift
  t0=$(date +%s%N)
  /usr/bin/time -f '%U %S' -o "$dir/one" "$@" >/dev/null
  t1=$(date +%s%N)
  echo "$(( (t1 - t0) / 1000 )) $(cat "$dir/one")" >>"$times"
}

: >"$dir/json"
: >"$dir/show"
i=0
while [ "$i" -lt "$runs" ]; do
  once "$dir/json" "$bin/kavjson" "$db"
  once "$dir/show" "$bin/kavshow" -p "$db"
  i=$((i + 1))
done

median() {
  sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}

report() {
  w=$(awk '{ print $1 / 1e6 }' "$2" | median)
  c=$(awk '{ print $2 + $3 }' "$2" | median)
  awk -v l="$1" -v n="$n" -v w="$w" -v c="$c" 'BEGIN {
    printf "%-12s wall %6.3f s %10.0f records/s   cpu %6.2f s %10.0f records/s\n",
           l, w, (w > 0 ? n / w : 0), c, (c > 0 ? n / c : 0) }'
}

report "kavjson" "$dir/json"
report "kavshow -p" "$dir/show"
