#!/bin/sh
# End-to-end test of kavlock: one kavlock holds the lock while its command
# sleeps, and a second one gives up at once, gives up after its wait, or
# gets the lock when the first lets go; the command's status comes
# through; and dpkg, which takes the same lock, is kept out while it is
# held.
#
#   kavlock_test.sh kavlock parent
#
# Exit status 0 when every check passes, 1 at the first that does not, 77
# when every check tried passes but dpkg is not installed for the last.
set -u
LC_ALL=C
export LC_ALL
lock=$1
work=$(mktemp -d "$2/kavlock.XXXXXX") || exit 1
holder=
# shellcheck disable=SC2317 # run by the trap
cleanup() {
	[ -z "$holder" ] || kill "$holder" 2>/dev/null
	rm -rf "$work"
}
trap cleanup EXIT
file=$work/lock-frontend

fail() {
	printf 'FAIL: %s\n' "$*" >&2
	printf -- '--- status %s; stderr:\n' "$st" >&2
	cat "$work/err" >&2
	exit 1
}

# kavlock ARGS...: status in st, standard output in out, error in err.
try() {
	"$lock" "$@" >"$work/out" 2>"$work/err"
	st=$?
}

# The command's status, whatever it is, and the signal that ended it.
row() {
	want=$1
	shift
	try "$file" "$@"
	[ "$st" -eq "$want" ] || fail "kavlock $*: status $st, want $want"
}
row 0 true
row 1 false
row 3 sh -c 'exit 3'
row 143 sh -c 'kill -TERM $$'
row 127 /no/such/program
row 126 /dev/null
try "$file" echo a b
[ "$(cat "$work/out")" = "a b" ] || fail "the command's output: $(cat "$work/out")"
try "$file"
[ "$st" -eq 125 ] || fail "no command: status $st, want 125"
grep -q '^usage: kavlock ' "$work/err" || fail "no command: no usage line"
try -w x "$file" true
[ "$st" -eq 125 ] || fail "-w x: status $st, want 125"
ln -s elsewhere "$work/link"
try "$work/link" true
[ "$st" -eq 125 ] || fail "a link for the file: status $st, want 125"
[ ! -e "$work/elsewhere" ] || fail "a link for the file: followed"

# A holder for about three seconds (waiting out the tries below while it
# starts); the lock is taken once a try at no wait finds it busy.
"$lock" -w 10 "$file" sleep 3 &
holder=$!
i=0
while try -w 0 "$file" true && [ "$st" -eq 0 ]; do
	i=$((i + 1))
	[ "$i" -lt 50 ] || fail "the holder never took the lock"
	sleep 0.1
done
[ "$st" -eq 124 ] || fail "busy at no wait: status $st, want 124"
grep -q "^$file: still locked by another process after 0 s\$" \
    "$work/err" || fail "busy: not said"
try -w 1 "$file" true
[ "$st" -eq 124 ] || fail "busy after a wait of 1 s: status $st, want 124"
# Flock on the same file is another kind of lock: it neither waits nor
# keeps the holder out (which is why kavlock exists).
if command -v flock >/dev/null 2>&1; then
	flock -n "$file" true || fail "flock conflicts with the record lock"
fi
try -w 20 "$file" echo taken
{ [ "$st" -eq 0 ] && [ "$(cat "$work/out")" = taken ]; } ||
    fail "waiting for the holder: status $st, output $(cat "$work/out")"
wait "$holder" || fail "the holder's sleep did not end with status 0"
holder=

# dpkg takes the same lock on its frontend lock file: while kavlock holds
# it, a package operation on that root fails, and after, it runs.
if ! command -v dpkg >/dev/null 2>&1; then
	echo "kavlock: dpkg is not installed; the row against dpkg skipped"
	exit 77
fi
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg_purge() {
	dpkg --root="$root" --force-not-root --force-script-chrootless \
	    --purge no-such-package >/dev/null 2>"$work/dpkg.err"
}
try "$root/var/lib/dpkg/lock-frontend" sh -c \
    "dpkg --root='$root' --force-not-root --force-script-chrootless --purge no-such-package"
{ [ "$st" -ne 0 ] && grep -q 'frontend lock was locked' "$work/err"; } ||
    fail "dpkg ran while kavlock held its lock"
dpkg_purge || fail "dpkg failed without kavlock: $(cat "$work/dpkg.err")"
echo "kavlock: every check passes"
exit 0
