#!/bin/sh
# End-to-end test of kavaccept: a tree of its own, a baseline and a newest
# snapshot of it taken by kavbuild with every attribute recorded (so every
# record carries an extension), and each mode's new baseline compared with
# both by kavcmp, its log line parsed. The mode explained runs on
# kavexplain's packages (testutil/pkgtree.sh) where dpkg is installed.
#
#   kavaccept_test.sh kavaccept kavbuild kavcmp kavexplain parent
#
# Exit status 0 when every check passes, 1 when one does not, 77 (skipped)
# without python3, or when every check tried passes but the mode explained
# could not be tried here: the reason is printed.
set -u
LC_ALL=C
TZ=UTC
export LC_ALL TZ

# The log line of every mode is checked by a JSON parser.
if ! command -v python3 >/dev/null 2>&1; then
	echo "python3 is not installed; skipping" >&2
	exit 77
fi

accept=$1
build=$2
cmp=$3
explain=$4
work=$(mktemp -d "$5/kavaccept.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
work=$(cd "$work" && pwd -P)
. "$(dirname "$0")/../testutil/policy.sh"
. "$(dirname "$0")/../testutil/step.sh"
fails=0

fail() {
	printf 'FAIL: %s\n' "$*" >&2
	fails=$((fails + 1))
}

# changes older newer: the paths kavcmp reports, sorted.
changes() {
	"$cmp" "$1" "$2" | sed -n 's/^[CDN] [a-z]* //p' | sort
}

# The log line: valid JSON, the members in their order, the texts as
# kavjson writes paths (a newline as \012, a backslash as \134, a byte that
# is not UTF-8 as its octal escape), the paths those that differ between
# the baseline and the new one, the digests those of the two files.
cat >"$work/check.py" <<'EOF'
import hashlib, json, sys
line, want, mode, older, out = sys.argv[1:]
text = open(line, 'rb').read()
assert text.endswith(b'\n') and text.count(b'\n') == 1, text
o = json.loads(text)
keys = ['time', 'user', 'mode', 'text', 'paths', 'baseline', 'older_sha256',
        'newer_sha256']
assert list(o) == keys, list(o)
assert len(o['time']) == 20 and o['time'].endswith('Z'), o['time']
assert o['user'] == 'op "x"', o['user']
assert o['mode'] == mode, o['mode']
assert o['text'] == 'a\\012b"c\\134\\377', o['text']
assert o['baseline'] == 'base\\012"2"', o['baseline']
paths = [p for p in open(want).read().split('\n') if p]
assert o['paths'] == paths, (o['paths'], paths)
sum = lambda f: hashlib.sha256(open(f, 'rb').read()).hexdigest()
assert o['older_sha256'] == sum(older), 'older_sha256'
assert o['newer_sha256'] == sum(out), 'newer_sha256'
EOF
log_text=$(printf 'a\nb"c\\\377')
log_name=$(printf 'base\n"2"')

# run out args...: kavaccept with the texts the log line is checked for,
# then args; status in st, the line in out.line.
run() {
	line=$1.line
	shift
	"$accept" -m "$log_text" -u 'op "x"' -n "$log_name" "$@" >"$line" 2>"$work/err"
	st=$?
}

# check what older newer out accepted: out is a complete snapshot that
# differs from older in the accepted paths (one a line, sorted) and from
# newer in the rest, the log line says so, and out is dated as the mode
# says.
check() {
	what=$1 mode=$2 older=$3 newer=$4 out=$5 want=$6
	[ "$st" -eq 0 ] || fail "$what: status $st: $(cat "$work/err")"
	[ -s "$work/err" ] && fail "$what: messages: $(cat "$work/err")"
	changes "$older" "$out" | diff -u "$want" - >&2 ||
	    fail "$what: the new baseline differs from $older elsewhere"
	changes "$older" "$newer" | comm -23 - "$want" >"$work/rest"
	changes "$out" "$newer" | diff -u "$work/rest" - >&2 ||
	    fail "$what: the new baseline differs from $newer elsewhere"
	python3 "$work/check.py" "$out.line" "$want" "$mode" "$older" "$out" ||
	    fail "$what: the log line: $(cat "$out.line")"
	dated=$older
	[ "$mode" = all ] && dated=$newer
	[ "$(stat -c '%a %y' "$out")" = "600 $(stat -c %y "$dated")" ] ||
	    fail "$what: mode and time $(stat -c '%a %y' "$out"), not $dated's"
}

# The tree: d/g has an extended attribute where the file system takes one;
# the name d/q"t is written escaped in the log line.
t=$work/t
mkdir -p "$t/d/e" "$t/keep"
for f in f d/g d/e/h d/q\"t gone keep/k; do echo "$f" >"$t/$f"; done
setfattr -n user.kav -v 1 "$t/d/g" 2>/dev/null
tree_policy "$t" A >"$work/policy"
snap() {
	"$build" -c "$work/policy" -d "$work/$1" 2>"$work/err" ||
	    { cat "$work/err" >&2; exit 1; }
}
snap base
echo more >>"$t/f"
echo more >>"$t/d/g"
echo more >>"$t/d/q\"t"
rm "$t/d/e/h" "$t/gone"
echo new >"$t/d/new"
snap newest

# Each case: mode, status, the paths accepted (- for none) and the paths
# given, below the tree unless they start with =.
cases='
all   0 d,d/e,d/e/h,d/g,d/new,d/q"t,f,gone
path  0 f                      f
path  0 d,d/e,d/e/h,d/g,d/new,d/q"t d/
path  0 gone                   gone
path  0 f,gone                 keep/ f gone
path  1 -                      keep/
path  1 -                      keep
path  2 -                      d/nope
path  2 -                      f//
path  2 -                      =d/g
'
i=0
echo "$cases" | while read -r mode want acc given; do
	[ -n "$mode" ] || continue
	i=$((i + 1))
	out=$work/out$i
	set --
	for p in $given; do
		case $p in =*) set -- "$@" "${p#=}" ;; *) set -- "$@" "$t/$p" ;; esac
	done
	what="$mode $*"
	run "$out" "$mode" "$work/base" "$work/newest" "$out" "$@"
	if [ "$want" -ne 0 ]; then
		[ "$st" -eq "$want" ] || fail "$what: status $st, not $want"
		[ -e "$out" ] && fail "$what: $out written"
		[ -s "$out.line" ] && fail "$what: a log line $(cat "$out.line")"
		[ "$want" -eq 2 ] && ! grep -qF -- "$1: " "$work/err" &&
		    fail "$what: the message does not name it: $(cat "$work/err")"
		continue
	fi
	for p in $(echo "$acc" | tr , ' '); do echo "$t/$p"; done |
	    sort >"$work/want"
	check "$what" "$mode" "$work/base" "$work/newest" "$out" "$work/want"
	[ "$mode" = all ] && ! cmp -s "$work/newest" "$out" &&
	    fail "all: not the newest snapshot byte for byte"
done >"$work/failed" 2>&1
# The loop ran in a subshell: its failures count here.
if [ -s "$work/failed" ]; then
	cat "$work/failed" >&2
	fails=$((fails + 1))
fi

# Refused: each ends with status 2, writes nothing and leaves an existing
# out as it was.
echo keep >"$work/exists"
head -c 100 "$work/newest" >"$work/cut"
while read -r args; do
	eval "set -- $args"
	"$accept" "$@" >"$work/line" 2>"$work/err"
	st=$?
	[ "$st" -eq 2 ] || fail "$args: status $st, not 2"
	[ -s "$work/line" ] && fail "$args: a log line"
	[ -s "$work/err" ] || fail "$args: no message"
	[ -e "$work/o" ] && { fail "$args: out written"; rm -f "$work/o"; }
done <<EOF
-m x -u u -n n all "$work/base" "$work/newest" "$work/exists"
-m x -u u -n n all "$work/base" "$work/newest" "$work/o" "$t/f"
-m x -u u -n n path "$work/base" "$work/newest" "$work/o"
-m x -u u -n n each "$work/base" "$work/newest" "$work/o"
-m '' -u u -n n all "$work/base" "$work/newest" "$work/o"
-m x -n n all "$work/base" "$work/newest" "$work/o"
-m x -u u -n d/n all "$work/base" "$work/newest" "$work/o"
-m x -u u -n n all "$work/base" "$work/cut" "$work/o"
EOF
[ "$(cat "$work/exists")" = keep ] || fail "an existing out was changed"
# A write refused, under a file size limit of nothing (the messages go to a
# pipe): out is removed.
said=$( (trap '' XFSZ; ulimit -f 0
	"$accept" -m x -u u -n n path "$work/base" "$work/newest" "$work/o" "$t/f" \
	    2>&1
	echo "status $?") )
[ "$said" = "db_put(): $work/o: File too large
status 2" ] || fail "a write refused: $said"
[ -e "$work/o" ] && fail "a write refused: out left behind"

# The mode explained takes exactly what kavexplain accounts for: package
# and moved verdicts, not the configuration file edit, nothing
# unexplained, and nothing that only the host's own records claim.
if command -v dpkg >/dev/null 2>&1 && command -v dpkg-deb >/dev/null 2>&1; then
	. "$(dirname "$0")/../testutil/pkgtree.sh"
	"$explain" -j -r "$root" "$work/older" "$work/newer" >"$work/xp.json"
	python3 -c '
import json, sys
for l in open(sys.argv[1]):
    o = json.loads(l)
    if o["verdict"] in ("package", "moved"):
        print(o["path"])' "$work/xp.json" | sort >"$work/want"
	for p in /opt/moveme /opt/moved; do
		grep -qxF "$root$p" "$work/want" || fail "explained: $p not explained"
	done
	for p in /etc/a.conf /usr/share/b/new /usr/bin/a-tool; do
		grep -qxF "$root$p" "$work/want" &&
		    fail "explained: $p taken, which is no package's by its archive"
	done
	run "$work/xout" -r "$root" explained "$work/older" "$work/newer" \
	    "$work/xout"
	check explained explained "$work/older" "$work/newer" "$work/xout" \
	    "$work/want"
	# An index that does not verify, beside an archive of a version the
	# window's operations installed: nothing is accepted, and the message
	# names the index.
	mkdir -p "$root/var/lib/apt/lists" "$root/var/cache/apt/archives"
	echo 'not signed' >"$root/var/lib/apt/lists/example.org_dists_x_InRelease"
	cp "$repo/b_1.1_all.deb" "$root/var/cache/apt/archives/"
	run "$work/bad" -r "$root" explained "$work/older" "$work/newer" \
	    "$work/bad"
	{ [ "$st" -eq 2 ] && [ ! -e "$work/bad" ] &&
	    grep -q "^not verified: .*example.org_dists_x_InRelease" \
	        "$work/err"; } ||
	    fail "explained, an index unverified: status $st, $(cat "$work/err")"
	rm "$root/var/lib/apt/lists/example.org_dists_x_InRelease" \
	    "$root/var/cache/apt/archives/b_1.1_all.deb"
else
	untried="the mode explained (dpkg or dpkg-deb is not installed)"
fi

[ "$fails" -eq 0 ] || exit 1
if [ -n "${untried-}" ]; then
	echo "kavaccept: every mode tried as expected; skipped: $untried"
	exit 77
fi
echo "kavaccept: every mode as expected"
exit 0
