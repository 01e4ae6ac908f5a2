#!/bin/sh
# Times kavshow on a large snapshot into /dev/null, beside cat of the same
# file, and prints the median of several runs in records per second.
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
echo "snapshot: $n records, $(wc -c <"$db") bytes"

now() { date +%s.%N; }

# Median wall time in seconds of $runs runs of the command.
median() {
  i=0
  : >"$dir/times"
  while [ "$i" -lt "$runs" ]; do
    t0=$(now)
    "$@" >/dev/null
    t1=$(now)
    echo "$t1 - $t0" | bc -l >>"$dir/times"
    i=$((i + 1))
  done
  sort -n "$dir/times" | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'
}

report() {
  label=$1
  shift
  t=$(median "$@")
  printf '%-16s %8.3f s  %12.0f records/s\n' "$label" "$t" "$(echo "$n / $t" | bc -l)"
}

report "cat" cat "$db"
report "kavshow -p" "$bin/kavshow" -p "$db"
report "kavshow" "$bin/kavshow" "$db"
report "kavshow -x" "$bin/kavshow" -x "$db"
