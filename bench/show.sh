#!/bin/sh
# Times kavshow on a large snapshot into /dev/null, beside cat of the same
# file. Prints the median wall time of several runs, records per second
# from it, and the median CPU time (user + system) of the same runs: on a
# busy machine the wall time includes waiting for a core.
#
#   bench/show.sh [records] [runs]      (after "make bench")
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
echo "snapshot: $n records, $(wc -c <"$db") bytes; median of $runs runs"

# Prints "wall cpu", the medians over $runs runs of the command.
measure() {
  : >"$dir/times"
  i=0
  while [ "$i" -lt "$runs" ]; do
    t0=$(date +%s%N)
    /usr/bin/time -f '%U %S' -o "$dir/one" "$@" >/dev/null
    t1=$(date +%s%N)
    echo "$(( (t1 - t0) / 1000 )) $(cat "$dir/one")" >>"$dir/times"
    i=$((i + 1))
  done
  w=$(awk '{ print $1 / 1e6 }' "$dir/times" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  c=$(awk '{ print $2 + $3 }' "$dir/times" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
  echo "$w $c"
}

report() {
  label=$1
  shift
  m=$(measure "$@")
  awk -v l="$label" -v n="$n" -v w="${m% *}" -v c="${m#* }" 'BEGIN {
    printf "%-12s wall %6.3f s %10.0f records/s   cpu %6.2f s %10.0f records/s\n",
           l, w, (w > 0 ? n / w : 0), c, (c > 0 ? n / c : 0) }'
}

report "cat" cat "$db"
report "kavshow -p" "$bin/kavshow" -p "$db"
report "kavshow" "$bin/kavshow" "$db"
report "kavshow -x" "$bin/kavshow" -x "$db"
