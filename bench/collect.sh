#!/bin/sh
# collect.sh: times kavcollect on a simulated fleet behind one local sshd;
# not part of make check.
#
#   bench/collect.sh [hosts] [records] [jobs]
#
# hosts (200) aliases of an sshd started here on 127.0.0.1, each serving a
# database directory of its own with three snapshots of records (20,000)
# records each, made by gen_snapshot (the hosts' files are hard links of
# one set: the same host, as after one image). Timed at -n jobs (8): the
# first collection, then a nightly one after one new snapshot per host
# with a few changes. Wall time, CPU time and peak resident size of each,
# beside what bounds them: the same number of bare ssh sessions at the
# same parallelism (the handshakes), and one kavcmp of a pair (the
# compare, once per host).
set -eu
cd "$(dirname "$0")/.."
hosts=${1:-200}
records=${2:-20000}
jobs=${3:-8}
make bench >/dev/null
bin=$PWD/build-bench
script=$bin/kavnightly
work=$(mktemp -d "${TMPDIR:-/tmp}/kavcollect-bench.XXXXXX")
work=$(cd "$work" && pwd -P)
skip() {
	echo "collect.sh: $*" >&2
	exit 1
}
. testutil/step.sh
. testutil/sshd.sh
trap 'sshd_stop; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# Runs a command once; prints its wall time and CPU time (user + system)
# in seconds and its peak resident size in kilobytes.
timed() {
	t0=$(date +%s%N)
	/usr/bin/time -v "$@" >"$work/out" 2>"$work/time" || [ $? -le 1 ] || {
		tail -n 30 "$work/time" >&2
		exit 1
	}
	t1=$(date +%s%N)
	awk -v ns=$((t1 - t0)) '/Maximum resident set size/ { m = $NF }
	    /User time|System time/ { cpu += $NF }
	    END { printf "%8.2f s wall %8.2f s cpu %8d KiB max RSS\n",
	        ns / 1e9, cpu, m }' "$work/time"
}

mkdir "$work/snaps"
for i in 0 1 2; do
	"$bin/bench/gen_snapshot" -n "$records" -s 7 \
	    "$work/snaps/kavdb-00000$i-2026120${i}T031500Z"
done
"$bin/bench/gen_snapshot" -n "$records" -s 7 -C 2 -D 1 -N 1 \
    "$work/snaps/kavdb-000003-20261203T031500Z"

sshd_start
names=
n=0
while [ "$n" -lt "$hosts" ]; do
	n=$((n + 1))
	h=host$n
	mkdir "$work/$h.db"
	printf 'KAV_DBDIR=%s\n' "$work/$h.db" >"$work/$h.conf"
	for i in 0 1 2; do
		ln "$work/snaps/kavdb-00000$i-"* "$work/$h.db/"
	done
	sshd_host "$h" "$work/$h.conf"
	names="$names $h"
done
size=$(wc -c <"$work/snaps/kavdb-000000-20261200T031500Z")
echo "$hosts hosts, snapshots of $records records ($size bytes), -n $jobs"

# shellcheck disable=SC2086 # one word per host
{
	printf 'first collection (%s snapshots): ' $((3 * hosts))
	timed "$bin/kavcollect" -n "$jobs" -F "$work/ssh_config" \
	    "$work/store" $names
	for h in $names; do
		ln "$work/snaps/kavdb-000003-"* "$work/$h.db/"
	done
	printf 'nightly collection:               '
	timed "$bin/kavcollect" -n "$jobs" -F "$work/ssh_config" \
	    "$work/store" $names
	grep '^Fleet' "$work/out"
	printf '%s bare ssh sessions (list):  ' $((2 * hosts))
	# shellcheck disable=SC2016 # "$@" and "$0" are the inner shell's
	timed sh -c 'for h in "$@"; do echo "$h"; echo "$h"; done |
	    xargs -P "$0" -I{} ssh -F "'"$work/ssh_config"'" -n {} list \
	    >/dev/null' "$jobs" $names
	printf 'kavcmp -p of one pair:            '
	timed "$bin/kavcmp" -p "$work/snaps/kavdb-000002-20261202T031500Z" \
	    "$work/snaps/kavdb-000003-20261203T031500Z"
}
du -sh "$work/store"
