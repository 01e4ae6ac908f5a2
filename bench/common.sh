# shellcheck shell=sh disable=SC2154 # runs and scratch come from the caller
# common.sh: the timing helpers of the benchmark scripts, sourced by them
# with $runs and $scratch set.

now() { date +%s.%N; }
pre=

# Runs each of the commands given as strings once per round, rounds
# interleaved, each after the command $pre (untimed) when it is set, and
# leaves the median wall time of command i in $scratch/m.i and the median
# CPU time (user and system, all its processes) in
# $scratch/c.i: on a shared machine the CPU time shows the work done when
# the wall time shows mostly the wait for a core.
interleave() {
  k=0
  for c in "$@"; do : >"$scratch/t.$k"; : >"$scratch/u.$k"; k=$((k + 1)); done
  r=0
  while [ "$r" -lt "$runs" ]; do
    k=0
    for c in "$@"; do
      rm -f "$scratch"/db
      [ -z "$pre" ] || sh -c "$pre"
      t0=$(now)
      sh -c "$c >/dev/null; times" >"$scratch/times"
      t1=$(now)
      echo "$t1 - $t0" | bc -l >>"$scratch/t.$k"
      # The second line of times: the children's user and system time.
      sed -n 2p "$scratch/times" | tr 'ms' '  ' |
        awk '{ print $1 * 60 + $2 + $3 * 60 + $4 }' >>"$scratch/u.$k"
      k=$((k + 1))
    done
    r=$((r + 1))
  done
  k=0
  for c in "$@"; do
    for f in t u; do
      sort -n "$scratch/$f.$k" |
        awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }' \
          >"$scratch/$(echo $f | tr tu mc).$k"
    done
    k=$((k + 1))
  done
}
m() { cat "$scratch/m.$1"; }
cpu() { cat "$scratch/c.$1"; }
ratio() { echo "$1 / $2" | bc -l | awk '{ printf "%.3f", $1 }'; }

# A policy that records the file big in directory $1 alone, with the
# letters $2 (F by default): each ancestor of the directory lets the walk
# through its next component only.
confine() {
  top=$(cd "$1" && pwd -P)
  at=/
  rest=${top#/}
  while [ -n "$rest" ]; do
    name=${rest%%/*}
    printf '@NO:%s\n+N\nname:%s\n+N:S\n' "$at" "$name"
    at=${at%/}/$name
    case $rest in */*) rest=${rest#*/} ;; *) rest= ;; esac
  done
  printf '@NO:%s\n+%s\nname:big\n+N\n' "$top" "${2:-F}"
}

# The lists of a night's packages: those of 10 to 150 entries whose
# archive apt's cache holds, by name, up to $1 entries in all.
night_packages() {
	dpkg-query -W \
	    -f '${db:Status-Abbrev} ${Package} ${Version} ${Architecture}\n' |
	    awk '$1 == "ii" { print $2, $3, $4 }' | sort |
	    while read -r name version arch; do
		deb=/var/cache/apt/archives/${name}_$(echo "$version" |
		    sed 's/:/%3a/g')_$arch.deb
		[ -f "$deb" ] || continue
		list=/var/lib/dpkg/info/$name:$arch.list
		[ -f "$list" ] || list=/var/lib/dpkg/info/$name.list
		n=$(wc -l <"$list")
		[ "$n" -ge 10 ] && [ "$n" -le 150 ] && echo "$n $name $list"
	done | awk -v max="$1" '{ if (t + $1 > max) exit; t += $1; print $3 }'
}
