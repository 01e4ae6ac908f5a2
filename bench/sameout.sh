#!/bin/sh
# sameout.sh: shows that two builds of the programs print the same bytes,
# and with -t how fast each is; not part of make check.
#
#   bench/sameout.sh [-t] [-n rounds] OLD_BUILDDIR NEW_BUILDDIR [workdir]
#
# 1. Snapshots, taken with each build's kavbuild in a row on an unchanged
#    tree, which must be the same files: a tree made in the workdir (files,
#    links, a set-user-ID file, names with blanks, newlines and bytes that
#    are not UTF-8, extended attributes where setfattr works, a FIFO),
#    then the same tree changed; all of /usr with every attribute, SHA-256
#    and extended attributes; /usr less the files of a few dozen packages
#    whose archives apt's cache holds (the night: they come as new).
# 2. The programs of both builds on the same input databases and policies:
#    kavshow, kavjson, kavcmp (the difference databases of -d compared
#    with cmp), kavexplain on a scratch dpkg root (testutil/pkgtree.sh)
#    and on this host's package database, kavconf on etc/*.conf*, kavreach;
#    and their messages and exit status on a missing file, a database cut
#    in the middle and usage errors.
# Each comparison prints one line: "same" or "DIFFERS" with where the
# outputs first part (exit status, standard output or error, or a file
# written) and the first differing line of each; the outputs that differ
# are kept in workdir/differs (give a workdir to keep them). The exit
# status is 1 if any differs.
# 3. With -t, the commands that matter in interleaved rounds (3 unless -n
#    says otherwise; bench/common.sh), warm cache: kavbuild of /usr,
#    kavcmp -x of the night's /usr pair, kavjson of the /usr snapshot and
#    kavexplain -j of the night; the median wall and CPU times of each
#    build and the ratios NEW/OLD.
#
# A /usr that changes between the two builds' snapshots (a package
# installed meanwhile) shows as a difference of the kavbuild lines: run
# again. As any user but root, /usr may hold files kavbuild cannot read.
# Without a workdir everything is written in a temporary directory,
# removed at the end.
set -eu
timing=
runs=3
while getopts tn: opt; do
	case $opt in
	t) timing=1 ;;
	n) runs=$OPTARG ;;
	*) echo "usage: $0 [-t] [-n rounds] old_builddir new_builddir [workdir]" >&2
	   exit 2 ;;
	esac
done
shift $((OPTIND - 1))
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
	echo "usage: $0 [-t] [-n rounds] old_builddir new_builddir [workdir]" >&2
	exit 2
fi
old_bin=$(cd "$1" && pwd -P)
new_bin=$(cd "$2" && pwd -P)
src=$(cd "$(dirname "$0")/.." && pwd -P)
if [ -n "${3-}" ]; then
	mkdir -p "$3"
	work=$(cd "$3" && pwd -P)
	rm -rf "$work/tree" "$work/pkg" "$work/differs" "$work/old" "$work/new" \
	    "$work/scratch"
else
	work=$(mktemp -d "${TMPDIR:-/tmp}/sameout.XXXXXX")
	work=$(cd "$work" && pwd -P)
	trap 'rm -rf "$work"' EXIT
	trap 'exit 1' INT TERM
fi
for prog in kavbuild kavcmp kavshow kavjson kavexplain kavconf kavreach; do
	for b in "$old_bin" "$new_bin"; do
		[ -x "$b/$prog" ] || { echo "sameout: no $b/$prog" >&2; exit 2; }
	done
done
scratch=$work/scratch
mkdir -p "$scratch" "$work/differs"
# shellcheck source=bench/common.sh disable=SC1091
. "$src/bench/common.sh"
# shellcheck source=testutil/policy.sh disable=SC1091
. "$src/testutil/policy.sh"

buildtype() {
	sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null ||
	    true
}
echo "old: $old_bin ($(buildtype "$old_bin"))"
echo "new: $new_bin ($(buildtype "$new_bin"))"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

# An awk function: s with each control byte, 0x7F and each byte above it
# as a backslash and three octal digits, so that what this script prints
# is ASCII text of one line.
esc_awk='function esc(s,  o, k, c) {
	if (!("\001" in oct))
		for (k = 1; k < 256; k++)
			if (k < 32 || k > 126) oct[sprintf("%c", k)] = sprintf("\\%03o", k)
	o = ""
	for (k = 1; k <= length(s); k++) {
		c = substr(s, k, 1)
		o = o ((c in oct) ? oct[c] : c)
	}
	return o
}'

# The command line of a comparison as printed: the workdir and the source
# tree left out of paths, escaped, at most 200 characters.
label() {
	printf '%s' "$*" |
	    LC_ALL=C awk -v w="$work/" -v s="$src/" "$esc_awk"'
	    BEGIN { RS = "\001" }
	    function drop(p) {
	        while ((i = index($0, p)) > 0)
	            $0 = substr($0, 1, i - 1) substr($0, i + length(p))
	    }
	    {
	        drop(w); drop(s); $0 = esc($0)
	        if (length($0) > 200) $0 = substr($0, 1, 200) "..."
	        printf "%s", $0
	    }'
}

# The first line where two files part, as "line N: old <...> new <...>",
# each line escaped and cut to 100 bytes; "(end)" for a file that ends
# first.
first_diff() {
	LC_ALL=C awk -v f2="$2" "$esc_awk"'
	function cut(s) { return esc(length(s) > 100 ? substr(s, 1, 100) "..." : s) }
	{
	    if ((getline l < f2) <= 0) {
	        printf "line %d: old <%s> new (end)", NR, cut($0); found = 1; exit
	    }
	    if (l != $0) {
	        printf "line %d: old <%s> new <%s>", NR, cut($0), cut(l)
	        found = 1; exit
	    }
	}
	END {
	    if (found) exit
	    if ((getline l < f2) > 0)
	        printf "line %d: old (end) new <%s>", NR + 1, cut(l)
	    else
	        printf "the newline at the end"
	}' "$1"
}

failed=0
compared=0
# same [-e FILE]... [-f FILE]... PROG ARG...: runs PROG of each build with
# the same arguments and the same name (argv[0] is PROG, found in PATH),
# each in an empty directory of its own that holds the empty files -e
# names beforehand, and compares the exit status, the standard output and
# error and the files -f names, written there. The old build's files stay
# in $work/old/cwd.
same() {
	empties=
	files=
	while :; do
		case $1 in
		-e) empties="$empties $2"; shift 2 ;;
		-f) files="$files $2"; shift 2 ;;
		*) break ;;
		esac
	done
	for side in old new; do
		rm -rf "${work:?}/$side"
		mkdir -p "$work/$side/cwd"
		for f in $empties; do : >"$work/$side/cwd/$f"; done
		if [ $side = old ]; then bin=$old_bin; else bin=$new_bin; fi
		st=0
		(cd "$work/$side/cwd" && PATH=$bin:$PATH && exec "$@") \
		    >"$work/$side/out" 2>"$work/$side/err" </dev/null || st=$?
		echo "$st" >"$work/$side/status"
	done
	compared=$((compared + 1))
	what=
	for f in status out err $files; do
		case $f in
		status | out | err) o=$work/old/$f n=$work/new/$f ;;
		*) o=$work/old/cwd/$f n=$work/new/cwd/$f ;;
		esac
		if [ ! -e "$o" ] && [ ! -e "$n" ]; then continue; fi
		if [ ! -e "$o" ] || [ ! -e "$n" ]; then
			if [ -e "$o" ]; then what="$f: written by the old build only"
			else what="$f: written by the new build only"; fi
			break
		fi
		cmp -s "$o" "$n" && continue
		case $f in
		status) what="exit status $(cat "$o") vs $(cat "$n")" ;;
		out) what="stdout $(first_diff "$o" "$n")" ;;
		err) what="stderr $(first_diff "$o" "$n")" ;;
		*) what="file $f $(cd "$work" && cmp "old/cwd/$f" "new/cwd/$f" 2>&1 |
		    sed 's|^.* differ: |differs at |; s|^cmp: EOF on old/[^ ]*|ends in the old build|
		        s|^cmp: EOF on new/[^ ]*|ends in the new build|')" ;;
		esac
		break
	done
	if [ -z "$what" ]; then
		printf 'same     %s\n' "$(label "$@")"
		return 0
	fi
	failed=$((failed + 1))
	keep=$work/differs/$compared
	mkdir -p "$keep"
	cp -R "$work/old" "$keep/old"
	cp -R "$work/new" "$keep/new"
	printf 'DIFFERS  %s: %s (kept in %s)\n' "$(label "$@")" "$what" \
	    "$(label "$keep")"
}

# Moves the old build's file $1 of the last comparison to $work/$1, as an
# input of the comparisons that follow.
take() {
	[ -s "$work/old/cwd/$1" ] || {
		echo "sameout: the old build wrote no $1:" >&2
		cat "$work/old/err" >&2
		exit 1
	}
	mv "$work/old/cwd/$1" "$work/$1"
}

# The same snapshot taken by each build: policy $1, database $2.
snapshots() {
	rm -f "${work:?}/$2"
	same -f "$2" kavbuild -c "$work/$1" -d "$2"
	take "$2"
}

echo "== a tree of names, links, modes and extended attributes"
tree=$work/tree
mkdir -p "$tree/etc" "$tree/bin" "$tree/data" "$tree/plain" "$tree/empty" \
    "$tree/odd"
printf 'listen 8080\n' >"$tree/etc/app.conf"
printf 'colour=blue\n' >"$tree/etc/old.conf"
printf '#!/bin/sh\necho hello\n' >"$tree/bin/tool"
chmod 755 "$tree/bin/tool"
printf '#!/bin/sh\nid\n' >"$tree/bin/su-tool"
chmod 4755 "$tree/bin/su-tool"
ln -s ../etc/app.conf "$tree/bin/app.conf"
ln -s /nowhere/at/all "$tree/bin/dangling"
printf 'first notes\n' >"$tree/data/notes.txt"
ln "$tree/data/notes.txt" "$tree/data/hard link"
printf 'started\n' >"$tree/data/app.log"
: >"$tree/data/empty"
head -c 3000000 /dev/zero | tr '\0' 'k' >"$tree/data/big"
printf 'move me\n' >"$tree/data/moveme"
printf 'plain text\n' >"$tree/plain/a.txt"
printf 'plain other\n' >"$tree/plain/b.dat"
printf 'blank\n' >"$tree/odd/name with spaces"
printf 'newline\n' >"$tree/odd/new
line"
printf 'tab\n' >"$tree/odd/$(printf 'a\tb')"
printf 'latin-1\n' >"$tree/odd/$(printf 'caf\351')"
printf 'utf-8\n' >"$tree/odd/$(printf 'caf\303\251')"
printf 'bytes\n' >"$tree/odd/$(printf '\377\376x')"
printf 'backslash\n' >"$tree/odd/back\\slash"
mkfifo "$tree/odd/fifo"
xattrs=no
if setfattr -n user.sameout -v first "$tree/etc/app.conf" 2>/dev/null; then
	xattrs=yes
	setfattr -n user.other -v 0x00ff10 "$tree/data/notes.txt"
	setfattr -n user.blob -v "$(head -c 3000 /dev/zero | tr '\0' b)" \
	    "$tree/plain/a.txt" 2>/dev/null || true
	setfattr -n 'user.odd name' -v 'line
two' "$tree/odd/name with spaces" 2>/dev/null || true
fi
echo "extended attributes: $xattrs"
# Everything with every attribute, the logs without their contents, *.txt
# under plain/ without the extensions, skip/ pruned.
{
	tree_policy "$tree" A | sed '$d'
	printf '+ilugmf:I\nname:*.log\n+N:S\nname:skip\n+A:I\n'
	printf '@POST:%s/plain\n+F:I\nname:*.txt\n' "$tree"
} >"$work/tree.policy"
snapshots tree.policy tree1.db

sleep 1
printf 'listen 9090\n' >"$tree/etc/app.conf"
rm "$tree/etc/old.conf"
chmod 600 "$tree/data/notes.txt"
chmod 4711 "$tree/bin/tool"
chmod 755 "$tree/bin/su-tool"
ln -sf ../etc/other.conf "$tree/bin/app.conf"
printf 'restarted\n' >>"$tree/data/app.log"
printf 'fresh\n' >"$tree/data/new file"
mv "$tree/data/moveme" "$tree/data/moved"
rm "$tree/odd/fifo"
mkdir "$tree/odd/fifo"
printf 'new newline\n' >"$tree/odd/$(printf 'x\ny\377')"
printf 'k' >>"$tree/data/big"
if [ $xattrs = yes ]; then
	setfattr -n user.sameout -v second "$tree/etc/app.conf"
	setfattr -x user.other "$tree/data/notes.txt"
	setfattr -n user.added -v 1 "$tree/bin/tool"
fi
snapshots tree.policy tree2.db
echo "tree: $(wc -c <"$work/tree1.db") and $(wc -c <"$work/tree2.db") bytes"

echo "== /usr, and the night: /usr less a few packages' files"
printf '@NO:/\n+N\nname:usr\n+N:S\n@NO:/usr\n+Fhx:I\n' >"$work/usr.policy"

# The /usr policy, and a list of its own for every directory under /usr
# that holds a file of the night's packages, leaving those files out.
night_policy() {
	cat "$work/usr.policy"
	night_packages 1500 | xargs cat | while read -r p; do
		if [ -d "$p" ] || { [ ! -e "$p" ] && [ ! -L "$p" ]; }; then
			continue
		fi
		d=$(readlink -f "$(dirname "$p")")
		case $d in /usr/*) ;; *) continue ;; esac
		printf '%s %s\n' "$d" "$(basename "$p")"
	done | grep -v '[][*?\\]' | sort -u |
	    awk '$1 != d { d = $1; print "@POST:" d; print "+N" }
	        { print "name:" $2 }'
}
if command -v dpkg-query >/dev/null; then
	night_policy >"$work/night.policy"
else
	cp "$work/usr.policy" "$work/night.policy"
fi
snapshots night.policy night.db
snapshots usr.policy usr.db
echo "usr: $("$old_bin/kavshow" -p "$work/usr.db" | grep -c '^?') records," \
    "night: $("$old_bin/kavshow" -p "$work/night.db" | grep -c '^?')"

echo "== kavshow and kavjson"
esc=$tree/odd/new
esc="$esc
line"
for db in tree1.db tree2.db night.db usr.db; do
	same kavshow "$work/$db"
	same kavshow -p "$work/$db"
	same kavshow -x -h "$work/$db"
	same kavjson "$work/$db"
done
for db in tree1.db tree2.db; do
	same kavshow -p -d "$tree/odd/" "$work/$db"
	same kavshow -x -D "$esc" "$work/$db"
	same kavshow -D "$tree/odd/name with spaces" "$work/$db"
	same kavshow -m cx -d "$tree/etc" "$work/$db"
	same kavshow -p -M A "$work/$db"
	same kavshow -M ugh -d "$tree/data" -D "$tree/data/big" "$work/$db"
	same kavjson -d "$tree/odd" "$work/$db"
	same kavjson -D "$esc" "$work/$db"
done
same kavshow -x -D /usr/bin/sh "$work/usr.db"
same kavshow -p -d /usr/sbin/ "$work/usr.db"
same kavshow -x -m Fh -d /usr/lib/ "$work/usr.db"
same kavjson -d /usr/bin/ "$work/usr.db"
same kavjson -D /usr/bin "$work/usr.db"

echo "== kavcmp"
for pair in "tree1.db tree2.db" "night.db usr.db" "usr.db night.db"; do
	# shellcheck disable=SC2086 # two names without blanks
	set -- $pair
	same kavcmp "$work/$1" "$work/$2"
	same kavcmp -x "$work/$1" "$work/$2"
	same kavcmp -p "$work/$1" "$work/$2"
	same kavcmp -h -m cx "$work/$1" "$work/$2"
	same kavcmp -p -M A "$work/$1" "$work/$2"
	same -f diff.db kavcmp -d diff.db "$work/$1" "$work/$2"
	[ "$1" != tree1.db ] || take diff.db
done
same kavcmp -x "$work/usr.db" "$work/usr.db"
for args in "" -p "-x -h" "-d $tree/odd"; do
	# shellcheck disable=SC2086 # the options split on purpose
	same kavshow $args "$work/diff.db"
done
same kavjson "$work/diff.db"
same kavjson -d "$tree/data" "$work/diff.db"

echo "== kavexplain"
now=$(date +%s)
same kavexplain -t 0 -T 0 "$work/tree1.db" "$work/tree2.db"
same kavexplain -j -t 0 -T 0 "$work/tree1.db" "$work/tree2.db"
if command -v dpkg-query >/dev/null; then
	same kavexplain -j -t 0 -T "$now" "$work/night.db" "$work/usr.db"
	same kavexplain -t 0 -T "$now" "$work/night.db" "$work/usr.db"
	same kavexplain -j -t 0 -T 0 "$work/night.db" "$work/usr.db"
else
	echo "(no dpkg here: no night on this host)"
fi
if command -v dpkg >/dev/null && command -v dpkg-deb >/dev/null; then
	# A scratch root with packages installed, upgraded and removed and
	# files edited between two snapshots that the old build takes.
	# The script is its own $0, so that it finds debs.sh and step.sh
	# beside it.
	mkdir -p "$work/pkg"
	work=$work/pkg build=$old_bin/kavbuild explain=$old_bin/kavexplain \
	    sh -c 'fail() { echo "sameout: $*" >&2; exit 1; }
	    . "$(dirname "$0")/policy.sh"
	    . "$(dirname "$0")/step.sh"
	    . "$0"' "$src/testutil/pkgtree.sh" >"$scratch/pkgtree.log" 2>&1 || {
		cat "$scratch/pkgtree.log" >&2
		exit 1
	}
	p=$work/pkg
	same kavexplain -r "$p/root" "$p/older" "$p/newer"
	same kavexplain -j -r "$p/root" "$p/older" "$p/newer"
	same kavexplain -j -r "$p/root" -p "$p/older.pkg" "$p/older" "$p/newer"
	same kavexplain -r "$p/root" -p "$p/older.pkg" "$p/older" "$p/newer"
	same kavexplain -j -r "$p/root" -t 0 -T 0 "$p/older" "$p/newer"
	same -f records kavexplain -r "$p/root" -s records
	same kavcmp -x "$p/older" "$p/newer"
	same kavjson "$p/newer"
else
	echo "(no dpkg and dpkg-deb here: no scratch root)"
fi

echo "== kavconf and kavreach"
for conf in "$src"/etc/*.conf* "$work/tree.policy" "$work/night.policy"; do
	same kavconf -c "$conf"
done
same kavconf -d /usr/bin -c "$src/etc/demo-usr.conf"
same kavconf -d "$tree/plain" -c "$work/tree.policy"
same kavconf -a -d "$tree/plain/x" -c "$work/tree.policy"
same kavreach -c "$work/usr.policy" / /usr /usr/bin/ /usr/lib /etc/passwd
same kavreach -c "$src/etc/demo-usr.conf" /usr/bin/sh /usr/share /usr//sbin
same kavreach -c "$work/tree.policy" "$tree" "$tree/etc/app.conf" \
    "$tree/data/app.log" "$tree/plain/a.txt" "$tree/plain/b.dat" \
    "$tree/odd/name with spaces" "$esc" "$tree/odd/fifo" "$tree/bin/app.conf"

echo "== failures"
missing=$work/no-such-file
head -c $(($(wc -c <"$work/tree2.db") / 2)) "$work/tree2.db" >"$work/cut.db"
head -c $(($(wc -c <"$work/usr.db") / 2 + 7)) "$work/usr.db" >"$work/cut-usr.db"
printf '@NO:/\n+Q\n' >"$work/bad.policy"
printf '+F\n' >"$work/bad2.policy"
same kavshow "$missing"
same kavjson "$missing"
same kavcmp "$work/tree1.db" "$missing"
same kavexplain -t 0 -T 0 "$missing" "$work/tree2.db"
same kavconf -c "$missing"
same kavreach -c "$missing" /usr
same kavbuild -c "$missing" -d new.db
same kavshow "$work/cut.db"
same kavshow -p "$work/cut-usr.db"
same kavjson "$work/cut.db"
same kavjson "$work/cut-usr.db"
same kavcmp "$work/tree1.db" "$work/cut.db"
same kavcmp -x "$work/cut-usr.db" "$work/usr.db"
same kavexplain -t 0 -T 0 "$work/tree1.db" "$work/cut.db"
same kavshow "$work/tree.policy"
same kavcmp "$work/diff.db" "$work/tree2.db"
same kavconf -c "$work/bad.policy"
same kavconf -c "$work/bad2.policy"
same kavbuild -c "$work/bad.policy" -d new.db
same -e new.db -f new.db kavbuild -c "$work/tree.policy" -d new.db
same kavreach -c "$work/tree.policy" "$tree/../tree" "$tree/none" relative
same kavshow
same kavshow -Z "$work/tree1.db"
same kavshow "$work/tree1.db" -p
same kavshow -d "$(head -c 2000 /dev/zero | tr '\0' a)" "$work/tree1.db"
same kavjson -x "$work/tree1.db"
same kavcmp "$work/tree1.db"
same kavcmp -q "$work/tree1.db" "$work/tree2.db"
same kavexplain
same kavexplain -q "$work/tree1.db" "$work/tree2.db"
same kavexplain -t soon "$work/tree1.db" "$work/tree2.db"
same kavconf -c "$work/tree.policy" extra
same kavreach -c "$work/tree.policy"
same kavbuild -c "$work/tree.policy" -d new.db extra

echo "$compared comparisons, $failed differ"

if [ -n "$timing" ]; then
	echo "== timing: median of $runs interleaved rounds, warm cache"
	row() {
		printf '%-24s wall %8.3f s %8.3f s  ratio %s   cpu %8.3f s %8.3f s  ratio %s\n' \
		    "$1" "$(m 0)" "$(m 1)" "$(ratio "$(m 1)" "$(m 0)")" \
		    "$(cpu 0)" "$(cpu 1)" "$(ratio "$(cpu 1)" "$(cpu 0)")"
	}
	printf '%-24s      %10s %10s  %s\n' '' old new new/old
	# interleave removes $scratch/db before each run.
	pair() {
		what=$1
		shift
		interleave "'$old_bin/$1' $2" "'$new_bin/$1' $2"
		row "$what"
	}
	pair 'kavbuild /usr' kavbuild "-c '$work/usr.policy' -d '$scratch/db'"
	pair 'kavcmp -x night usr' kavcmp "-x '$work/night.db' '$work/usr.db'"
	pair 'kavjson usr' kavjson "'$work/usr.db'"
	pair 'kavexplain -j night' kavexplain \
	    "-j -t 0 -T $now '$work/night.db' '$work/usr.db'"
	echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
fi
[ "$failed" -eq 0 ]
