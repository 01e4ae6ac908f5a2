#!/bin/sh
# collect.sh: times kavcollect on a simulated fleet behind one local sshd,
# beside an earlier release's kavcollect and kavnightly in the same run;
# not part of make check.
#
#   bench/collect.sh [hosts] [records] [jobs]
#
# hosts (1000) aliases of an sshd started here on 127.0.0.1, each serving a
# database directory of its own (the hosts' files are hard links of one
# set: the same host, as after one image) of snapshots of records (20,000)
# records made by gen_snapshot, each night's differing from the first in
# one record, and package records of a fourteenth of a snapshot's size
# (as a real host's are) the same every night. Each host has two
# snapshots, and two stores hold them as a
# first collection by either release leaves them (whole files, their sums,
# the newest marked compared; made here by hard links, as a first
# collection of 1,000 hosts is a matter of SSH sessions and disk writes,
# not of what is measured). Then every host takes one more snapshot, and
# each release collects the fleet into its store at -n jobs (8): the
# nightly collection of quiet hosts, timed (wall time, CPU time, peak
# resident size), its bytes on the wire counted (every byte of every SSH
# connection, both ways, through a ProxyCommand that counts them) with the
# growth of the store, both per host and as a part of one snapshot. With
# "first" as a fourth argument, the first collections are made by each
# release, and timed, instead.
#
# The earlier release is the kavcollect and kavnightly in $KAV_TODAY (a
# build directory); without it, they are built from commit $KAV_TODAY_REF
# (79a9c1a, the last before snapshots travelled as differences) of this
# repository into build-bench-today/.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
hosts=${1:-1000}
records=${2:-20000}
jobs=${3:-8}
first=${4:-}
make bench >/dev/null
bin=$PWD/build-bench
if [ -z "${KAV_TODAY-}" ]; then
	KAV_TODAY=$top/build-bench-today
	if [ ! -x "$KAV_TODAY/kavcollect" ] || [ ! -x "$KAV_TODAY/kavnightly" ]; then
		ref=${KAV_TODAY_REF:-79a9c1a}
		rm -rf "$KAV_TODAY"
		mkdir -p "$KAV_TODAY/src"
		git -C "$top" archive "$ref" | tar -x -C "$KAV_TODAY/src"
		cmake -S "$KAV_TODAY/src" -B "$KAV_TODAY" -DCMAKE_BUILD_TYPE=Release \
		    -DBUILD_TESTING=OFF >/dev/null
		cmake --build "$KAV_TODAY" -j 2 --target kavcollect kavnightly \
		    >/dev/null
	fi
fi
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
	    END { printf "%8.2f s wall %8.2f s cpu %8d KiB max RSS",
	        ns / 1e9, cpu, m }' "$work/time"
}

# The bytes of the regular files under $1, a file of several names in
# one directory once: each host's directory counted as if it were on a
# disk of its own, though the stores are made of links of one set.
bytes_under() {
	find "$1" -type f -printf '%h %i %s\n' | sort -u |
	    awk '{ n += $3 } END { printf "%.0f\n", n }'
}

# $1 bytes for $hosts hosts: per host, and as a percentage of a snapshot.
per_host() {
	awk -v n="$1" -v h="$hosts" -v s="$size" \
	    'BEGIN { printf "%10.0f B/host %7.3f%% of a snapshot", n / h,
	        100 * n / h / s }'
}

# One collection by release $1 (today or new) into its store, timed, with
# its bytes on the wire and the growth of its store.
collect() {
	rel=$1
	what=$2
	if [ "$rel" = today ]; then
		echo "$KAV_TODAY/kavnightly" >"$work/which"
		collector=$KAV_TODAY/kavcollect
	else
		echo "$bin/kavnightly" >"$work/which"
		collector=$bin/kavcollect
	fi
	[ -d "$work/store.$rel" ] || mkdir -m 0700 "$work/store.$rel"
	before=$(bytes_under "$work/store.$rel")
	# A connection still open from before goes on writing in the old one.
	[ ! -d "$work/wire" ] || mv "$work/wire" "$work/wire.$rel.$(date +%s%N)"
	mkdir "$work/wire"
	printf '%-18s %-5s ' "$what" "$rel"
	# shellcheck disable=SC2086 # one word per host
	timed "$collector" -n "$jobs" -F "$work/ssh_config" "$work/store.$rel" \
	    $names
	wire=$(find "$work/wire" -type f -exec cat {} + |
	    awk '{ n += $1 + $2 } END { printf "%.0f\n", n }')
	grown=$(($(bytes_under "$work/store.$rel") - before))
	printf '\n%25s wire %s\n%25s store %s\n' '' "$(per_host "$wire")" '' \
	    "$(per_host "$grown")"
	grep '^Fleet' "$work/out" | sed 's/^/                          /' || :
	if grep -q '^kavcollect' "$work/out"; then
		head -n 3 "$work/out" >&2
	fi
}

mkdir "$work/snaps"
for i in 0 1 2; do
	"$bin/bench/gen_snapshot" -n "$records" -s 7 -c "$((i * 7919))" \
	    "$work/snaps/kavdb-00000$i-2026120${i}T031500Z"
done
size=$(wc -c <"$work/snaps/kavdb-000000-20261200T031500Z")
# Package records are xz's output: bytes that do not compress.
head -c "$((size / 14))" /dev/urandom >"$work/snaps/records"
for i in 0 1 2; do
	ln "$work/snaps/records" "$work/snaps/kavdb-00000$i-2026120${i}T031500Z.pkg"
done

# Every host's forced command runs the kavnightly of the release being
# timed.
# shellcheck disable=SC2016 # $k and $@ are the script's
printf '#!/bin/sh\nread -r k <"%s"\nexec "$k" "$@"\n' "$work/which" \
    >"$work/serve"
chmod 0755 "$work/serve"
script=$work/serve
sshd_start
printf '\tProxyCommand "%s" %%h %%p "%s"\n' "$bin/bench/count_proxy" \
    "$work/wire" >>"$work/ssh_config.tail"
names=
n=0
while [ "$n" -lt "$hosts" ]; do
	n=$((n + 1))
	h=host$n
	mkdir -m 0700 "$work/$h.db"
	printf 'KAV_DBDIR=%s\n' "$work/$h.db" >"$work/$h.conf"
	for i in 0 1; do
		ln "$work/snaps/kavdb-00000$i-"* "$work/$h.db/"
	done
	sshd_host "$h" "$work/$h.conf"
	names="$names $h"
done
echo "$hosts hosts, snapshots of $records records ($size bytes), -n $jobs;" \
    "earlier release from $KAV_TODAY"

if [ "$first" = first ]; then
	collect today "first collection"
	collect new "first collection"
else
	sums=
	for i in 0 1; do
		f=$(cd "$work/snaps" && echo kavdb-00000$i-*Z)
		sums="$sums$f $(wc -c <"$work/snaps/$f") $(sha256sum \
		    "$work/snaps/$f" | cut -c1-64)
"
	done
	for rel in today new; do
		mkdir -m 0700 "$work/store.$rel"
		for h in $names; do
			mkdir -m 0700 "$work/store.$rel/$h"
			ln "$work/$h.db"/kavdb-* "$work/store.$rel/$h/"
			printf '%s' "$sums" >"$work/store.$rel/$h/sums"
			(cd "$work/snaps" && echo kavdb-000001-*Z) \
			    >"$work/store.$rel/$h/compared"
		done
	done
fi
for h in $names; do
	ln "$work/snaps/kavdb-000002-"* "$work/$h.db/"
done
collect today "nightly, quiet"
collect new "nightly, quiet"
