#!/bin/sh
# kavexplain on this host, in interleaved rounds with a warm cache; the
# medians of wall and CPU time (bench/common.sh), with the load average:
#
# 1. Every file of every installed package triaged at the dpkg level (an
#    empty older snapshot makes every path new; -t 0 -T 0 leaves no
#    package operation in the window, so every file is still read and its
#    MD5 checked), beside debsums -s on the same packages.
# 2. A night: the older snapshot lacks the files of a few dozen installed
#    packages whose archive is in apt's cache (their lists holding -n
#    entries in all, 1500 by default), so that they come as new; at the
#    archive level, at the dpkg level, and kavcmp on the same pair.
#
#   [XP_BEFORE=kavexplain] bench/explain.sh [-n entries] builddir [rounds]
#
# As root: the dpkg level hides apt's cache in a mount namespace of its
# own. The snapshots are written under builddir/bench-explain once and
# reused; remove that directory after the packages change.
set -eu
night_max=1500
if [ "${1-}" = -n ]; then night_max=$2; shift 2; fi
build=$(cd "$1" && pwd)
runs=${2-3}
work=$build/bench-explain
scratch=$work/scratch
mkdir -p "$scratch"
for tool in debsums unshare bc; do
	command -v $tool >/dev/null || { echo "bench: needs $tool" >&2; exit 1; }
done
. "$(dirname "$0")/common.sh"

# Every tree a package fills: the names in / that no package lists are
# left out, and the pseudo and volatile file systems and user data.
host_policy() {
	tops=$(cat /var/lib/dpkg/info/*.list | awk -F/ 'NF > 2 { print $2 }' |
	    sort -u)
	echo '@NO:/'
	echo '+N:S'
	for n in proc sys dev run tmp root home mnt media lost+found; do
		echo "name:$n"
	done
	for n in /* /.[!.]* /..?*; do
		[ -e "$n" ] || [ -L "$n" ] || continue  # a pattern that matched nothing
		n=${n#/}
		echo "$tops" | grep -qxF "$n" || echo "name:$n"
	done
	echo '+F:I'
}

# The host policy, and a list of its own for every directory that holds
# a file of the night's packages, leaving those files out. Names with
# glob characters stay in.
night_policy() {
	host_policy
	night_packages "$night_max" | xargs cat | while read -r p; do
		if [ -d "$p" ] || { [ ! -e "$p" ] && [ ! -L "$p" ]; }; then
			continue
		fi
		d=$(readlink -f "$(dirname "$p")")
		[ "$d" != / ] || continue
		printf '%s %s\n' "$d" "$(basename "$p")"
	done | grep -v '[][*?\\]' | sort -u |
	    awk '$1 != d { d = $1; print "@POST:" d; print "+N" }
	        { print "name:" $2 }'
}

snapshot() {
	[ -s "$work/$1.db" ] && return
	"$build/kavbuild" -c "$work/$1.policy" -d "$work/$1.db.new" 2>/dev/null
	mv "$work/$1.db.new" "$work/$1.db"
}
[ -s "$work/host.policy" ] || host_policy >"$work/host.policy"
[ -s "$work/night.policy" ] || night_policy >"$work/night.policy"
snapshot host
snapshot night
: >"$work/empty.db"

# With XP_BEFORE set to another kavexplain (an older build), it runs in
# the same rounds, for a figure before and after a change.
xp=$build/kavexplain
before=${XP_BEFORE-}
# shellcheck disable=SC2016 # expanded by the inner shell that runs it
hide='unshare -m sh -c "mount -t tmpfs none /var/cache/apt/archives &&
    exec \"\$0\" \"\$@\""'
now=$(date +%s)
every="-j -t 0 -T 0 $work/empty.db $work/host.db"
night="-j -t 0 -T $now $work/night.db $work/host.db"
verdicts() {
	sed 's/.*"verdict":"\([a-z]*\)".*"evidence":"\([a-z]*\)".*/\1\/\2/' "$1" |
	    sort | uniq -c | tr '\n' ' '
}
row() { printf '%-16s %8.3f s  cpu %8.3f s%s\n' "$1" "$(m "$2")" "$(cpu "$2")" \
    "${3-}"; }

# One run of each to warm the page cache and to count what they triage.
debsums -s >/dev/null 2>&1 || true
sh -c "$hide $xp $every" >"$work/every.json" 2>&1 || true
sh -c "$xp $night" >"$work/night.json" 2>&1 || true

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== every file of every installed package, dpkg level, $runs rounds"
printf '   %s paths, a package claims %s\n' "$(wc -l <"$work/every.json")" \
    "$(grep -c '"package":' "$work/every.json")"
interleave "debsums -s 2>/dev/null" "$hide $xp $every" \
    ${before:+"$hide $before $every"}
row 'debsums -s' 0
row kavexplain 1
[ -z "$before" ] || row '(before)' 2
printf 'ratio            %8s (target <= 0.5)  cpu %s\n' \
    "$(ratio "$(m 1)" "$(m 0)")" "$(ratio "$(cpu 1)" "$(cpu 0)")"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== a night: $(wc -l <"$work/night.json") paths, $(night_packages "$night_max" |
    wc -l) packages"
echo "   verdicts: $(verdicts "$work/night.json")"
runs=$((runs * 3))
interleave "$xp $night" "$hide $xp $night" "$build/kavcmp $work/night.db \
    $work/host.db" ${before:+"$before $night" "$hide $before $night"}
row 'archive level' 0 ' (target < 1 s)'
row 'dpkg level' 1
row kavcmp 2
[ -z "$before" ] || { row '(before) archive' 3; row '(before) dpkg' 4; }
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
