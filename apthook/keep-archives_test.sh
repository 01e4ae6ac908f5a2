#!/bin/sh
# Test of apt's hook keep-archives: fed as apt feeds it (file names on
# standard input, version 1 of the protocol), it keeps each archive in
# the cache under apt's name for it, a hard link where it can, passes
# over what is not an archive to keep, and exits 0 whatever happens.
#
#   keep-archives_test.sh script parent
#
# Exit status 0 when every check passes, 1 at the first that does not, 77
# when dpkg-deb is missing, or when every check tried passes but the copy
# to another file system could not be tried.
set -u
LC_ALL=C
export LC_ALL
hook=$1
work=$(mktemp -d "$2/keep-archives.XXXXXX") || exit 1
trap 'rm -rf "$work" ${other:+"$other"}' EXIT
work=$(cd "$work" && pwd -P)
if ! command -v dpkg-deb >/dev/null 2>&1; then
	echo "dpkg-deb is not installed; skipping" >&2
	exit 77
fi
root=$work/root
cache=$root/var/cache/kavrel/archives
. "$(dirname "$0")/../testutil/step.sh"

fail() {
	printf 'FAIL: %s\n' "$*" >&2
	printf -- '--- status %s; stderr:\n' "$st" >&2
	cat "$work/err" >&2
	exit 1
}

# Feeds the lines $1 to the hook, with -r root or the arguments given.
feed() {
	lines=$1
	shift
	[ $# -gt 0 ] || set -- -r "$root"
	printf '%s' "$lines" | sh "$hook" "$@" >"$work/out" 2>"$work/err"
	st=$?
	[ "$st" -eq 0 ] || fail "status $st on: $lines"
	[ ! -s "$work/out" ] || fail "output on standard output: $(cat "$work/out")"
}

inode() {
	stat -c %d:%i "$1"
}

# An archive NAME VERSION into DIR/FILE.
deb() {
	mkdir -p "$work/src/$1/DEBIAN" "$work/src/$1/usr/share/$1"
	printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: T <t@example.org>\nDescription: test\n' \
	    "$1" "$2" >"$work/src/$1/DEBIAN/control"
	echo "$1 $2" >"$work/src/$1/usr/share/$1/file"
	mkdir -p "$3"
	step "build $1" dpkg-deb --root-owner-group -Zgzip -b "$work/src/$1" \
	    "$3/$4" >/dev/null
}

apt=$work/apt/archives
deb a 1.0 "$apt" a_1.0_all.deb
deb b 2:1.0-1 "$apt" b_2%3a1.0-1_all.deb
deb c 1.0 "$work/local" anything.deb
ln -s a_1.0_all.deb "$apt/link.deb"
printf 'not an archive\n' >"$apt/junk.deb"

# The cache is made, mode 0755; each archive is a link to apt's file,
# named by its fields; an epoch as %3a; a local file of any name under
# the name apt would give it; what is not an archive to keep passed over
# (said where it looked like one), the rest kept all the same.
feed "**CONFIGURE**
$apt/a_1.0_all.deb
relative/x.deb
$apt/b_2%3a1.0-1_all.deb
$apt/link.deb
$apt/junk.deb
$work/no/such.deb
$apt/a_1.0_all.deb.partial
$work/local/anything.deb
**REMOVE**
"
[ "$(stat -c %a "$cache")" = 755 ] || fail "the cache's mode: $(stat -c %a "$cache")"
[ "$(inode "$cache/a_1.0_all.deb")" = "$(inode "$apt/a_1.0_all.deb")" ] ||
    fail "a: not a hard link to apt's archive"
[ "$(inode "$cache/b_2%3a1.0-1_all.deb")" = "$(inode "$apt/b_2%3a1.0-1_all.deb")" ] ||
    fail "b: the epoch's archive not kept as apt names it"
cmp -s "$cache/c_1.0_all.deb" "$work/local/anything.deb" ||
    fail "c: the local archive not kept under its package's name"
want="a_1.0_all.deb b_2%3a1.0-1_all.deb c_1.0_all.deb"
[ "$(cd "$cache" && echo .* *)" = ". .. $want" ] ||
    fail "the cache holds $(cd "$cache" && echo .* *), want $want"
for said in "$apt/link.deb: not a regular file" \
    "$apt/junk.deb: cannot read its control fields" \
    "$work/no/such.deb: not a regular file"; do
	grep -qF "kavrel keep-archives: $said" "$work/err" || fail "not said: $said"
done
[ "$(wc -l <"$work/err")" -ge 3 ] || fail "too little said"

# Kept again: nothing changes, nothing is left behind. An archive that
# changed since (a new build of the same version) replaces the old.
feed "$apt/a_1.0_all.deb
"
[ ! -s "$work/err" ] || fail "kept again: $(cat "$work/err")"
[ "$(cd "$cache" && echo .* *)" = ". .. $want" ] || fail "kept again: the cache changed"
old=$(inode "$cache/c_1.0_all.deb")
echo extra >>"$work/src/c/usr/share/c/file"
step "rebuild c" dpkg-deb --root-owner-group -Zgzip -b "$work/src/c" \
    "$work/local/new.deb" >/dev/null
mv "$work/local/new.deb" "$work/local/anything.deb"
feed "$work/local/anything.deb
"
{ cmp -s "$cache/c_1.0_all.deb" "$work/local/anything.deb" &&
    [ "$(inode "$cache/c_1.0_all.deb")" != "$old" ]; } ||
    fail "a rebuilt archive does not replace the one kept"

# Whatever goes wrong, apt goes on: a cache that is a link, a file in
# the cache's place, a cache that cannot be written, a bad argument.
mkdir -p "$work/r2/var/cache/kavrel" "$work/elsewhere"
ln -s "$work/elsewhere" "$work/r2/var/cache/kavrel/archives"
feed "$apt/a_1.0_all.deb
" -r "$work/r2"
grep -q 'archives: not a directory; nothing kept' "$work/err" ||
    fail "a cache that is a link: not refused"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "a cache that is a link: followed"
rm "$work/r2/var/cache/kavrel/archives"
: >"$work/r2/var/cache/kavrel/archives"
feed "$apt/a_1.0_all.deb
" -r "$work/r2"
grep -q 'not a directory' "$work/err" || fail "a file for the cache: not said"
rm "$work/r2/var/cache/kavrel/archives"
if [ "$(id -u)" -ne 0 ]; then
	mkdir -m 555 "$work/r2/var/cache/kavrel/archives"
	feed "$apt/a_1.0_all.deb
" -r "$work/r2"
	grep -q 'cannot keep it' "$work/err" || fail "an unwritable cache: not said"
fi
feed "$apt/a_1.0_all.deb
" -x
grep -q 'usage: keep-archives' "$work/err" || fail "a bad argument: not said"

# Across file systems a link cannot be made: a copy is kept instead.
other=$(mktemp -d /dev/shm/keep-archives.XXXXXX 2>/dev/null) || other=
if [ -z "$other" ] || [ "$(stat -c %d "$other")" = "$(stat -c %d "$work")" ]; then
	echo "keep-archives: no second file system to copy from; skipped"
	exit 77
fi
deb d 1.0 "$other" d_1.0_all.deb
feed "$other/d_1.0_all.deb
"
cmp -s "$cache/d_1.0_all.deb" "$other/d_1.0_all.deb" ||
    fail "an archive on another file system: not copied"
echo "keep-archives: every check passes"
exit 0
