#!/bin/sh
# End-to-end test of kavexplain: tiny packages built with dpkg-deb and
# installed under a scratch root with dpkg --root, a snapshot before and
# after package operations and hand-made changes, and every verdict checked
# at both levels of evidence, in both output forms. The archive level gets
# a repository signed with a throwaway key.
#
#   kavexplain_test.sh kavexplain kavbuild parent
#
# Exit status 0 when every check passes, 1 when one does not, 77 when the
# package tools, or setfattr for the row of an extended attribute, are not
# installed.
set -u
LC_ALL=C
TZ=UTC
export LC_ALL TZ

for tool in dpkg dpkg-deb dpkg-scanpackages apt-ftparchive gpg gpgv setfattr; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "$tool is not installed; skipping" >&2
		exit 77
	fi
done
explain=$1
build=$2
work=$(mktemp -d "$3/kavexplain.XXXXXX") || exit 1
# The signing key's home is a short directory of its own, not one under
# work: gpg-agent listens on a socket in it, and the path of a socket may
# not pass about 100 bytes, which a build tree deep in a checkout does.
GNUPGHOME=$(mktemp -d /tmp/kavgpg.XXXXXX) || { rm -rf "$work"; exit 1; }
export GNUPGHOME
# The key's agent goes with its home.
trap 'gpgconf --kill all 2>/dev/null; rm -rf "$work" "$GNUPGHOME"' EXIT
work=$(cd "$work" && pwd -P)
fails=0
. "$(dirname "$0")/../testutil/step.sh"

fail() {
	echo "FAIL: $*" >&2
	fails=$((fails + 1))
}

# The packages, the root and the two snapshots.
. "$(dirname "$0")/../testutil/policy.sh"
. "$(dirname "$0")/../testutil/pkgtree.sh"

# The signed repository, and apt trusting its key under the root.
step "make the signing key" gpg --batch --quiet --passphrase '' \
    --quick-gen-key 'kavexplain test' ed25519 sign never
step "export the signing key" gpg --batch --export \
    >"$root/etc/apt/trusted.gpg.d/test.gpg"
(cd "$repo" &&
    step "index the packages" dpkg-scanpackages -m . >Packages &&
    step "write Release" apt-ftparchive release . >Release &&
    step "sign InRelease" gpg --batch --quiet --clearsign -o InRelease Release &&
    step "sign Release.gpg" gpg --batch --quiet --armor --detach-sign \
        -o Release.gpg Release) || exit 1
# The same text with a detached signature, for a second run below.
mkdir "$work/detached"
mv "$repo/Release" "$repo/Release.gpg" "$work/detached/"

# Each expected verdict: path under the root, change, and verdict/evidence
# without the archives, with them, and with the kept records but no
# archives ("/kept" after the one that rests on them). What only the
# host's own records say is claimed.
expect="
/usr/bin/a-tool         changed claimed/dpkg     package/archive     claimed/dpkg
/etc/a.conf             changed conffile/dpkg    conffile/archive    conffile/dpkg
/usr/share/a/data       changed unexplained/dpkg unexplained/archive unexplained/dpkg
/usr/share/a/prog       changed unexplained/dpkg unexplained/archive unexplained/dpkg
/opt/intruder           new     unexplained/dpkg unexplained/dpkg    unexplained/dpkg
/opt/moveme             deleted moved/snapshots  moved/snapshots     moved/snapshots
/opt/moved              new     moved/snapshots  moved/snapshots     moved/snapshots
/usr/share/b/keep       changed claimed/dpkg     package/archive     claimed/dpkg
/usr/share/b/new        new     claimed/dpkg     package/archive     claimed/dpkg
/usr/share/b/old        deleted unexplained/dpkg package/archive     claimed/dpkg/kept
/usr/share/c/file       deleted unexplained/dpkg package/archive     claimed/dpkg/kept
/usr/lib/d/link         new     unexplained/dpkg package/archive     unexplained/dpkg
/usr/lib/d/target       new     claimed/dpkg     package/archive     claimed/dpkg
/usr/lib/d/helper       new     unexplained/dpkg unexplained/archive unexplained/dpkg
/var/lib/dpkg/status    changed claimed/dpkg     package/archive     claimed/dpkg
/var/log/dpkg.log       changed claimed/dpkg     package/archive     claimed/dpkg
/var/lib/dpkg/info/b.postinst new claimed/dpkg unexplained/archive claimed/dpkg
/var/lib/dpkg/info/b.list changed claimed/dpkg package/archive   claimed/dpkg
/var/lib/dpkg/info/d.list new   claimed/dpkg     package/archive     claimed/dpkg
/var/lib/dpkg/info/c.list deleted claimed/dpkg   package/archive     claimed/dpkg
/var/lib/dpkg/info/b.md5sums changed claimed/dpkg package/archive  claimed/dpkg
/opt                    changed unexplained/dpkg unexplained/dpkg    unexplained/dpkg
$xattr_row
"

# check level json-file text-file status: every row in both forms. The
# archive level may have the kept records too: the archive comes first.
check() {
	level=$1
	echo "$expect" | while read -r path change dpkgv archv keptv; do
		[ -n "$path" ] || continue
		case $level in
		dpkg) v=$dpkgv ;;
		archive) v=$archv ;;
		*) v=$keptv ;;
		esac
		verdict=${v%%/*}
		ev=${v#*/}
		kept=
		if [ "${ev%/kept}" != "$ev" ]; then
			ev=${ev%/kept}
			kept=",\"kept_records\":\"$work/older.pkg\""
		fi
		want="{\"change\":\"$change\",\"path\":\"$root$path\",\"verdict\":\"$verdict\",\"evidence\":\"$ev\"$kept"
		grep -qF "$want" "$2" || echo "$level json: no line $want"
		case $verdict in
		unexplained) grep -qF "  $root$path: $change" "$3" ||
			echo "$level text: $path not unexplained" ;;
		conffile) sed -n '/^conffile edits:/,/^[a-z]/p' "$3" |
			grep -qF "  $root$path: " ||
			echo "$level text: $path not a conffile edit" ;;
		moved) grep -qF "$root$path" "$3" ||
			echo "$level text: $path not moved" ;;
		esac
	done >"$work/mismatch"
	[ -s "$work/mismatch" ] && fail "$(cat "$work/mismatch")"
	[ "$4" -eq 1 ] || fail "$level: status $4, not 1"
}

"$explain" -j -r "$root" "$work/older" "$work/newer" >"$work/d.json" \
    2>"$work/err"
st=$?
"$explain" -r "$root" "$work/older" "$work/newer" >"$work/d.txt" 2>>"$work/err"
check dpkg "$work/d.json" "$work/d.txt" "$st"
cat "$work/d.txt"
"$explain" -j -r "$root" -a "$repo" "$work/older" "$work/newer" \
    >"$work/a.json" 2>>"$work/err"
st=$?
"$explain" -r "$root" -a "$repo" "$work/older" "$work/newer" >"$work/a.txt" \
    2>>"$work/err"
check archive "$work/a.json" "$work/a.txt" "$st"
cat "$work/a.txt"
"$explain" -j -r "$root" -a "$repo" -p "$work/older.pkg" "$work/older" \
    "$work/newer" >"$work/a.json" 2>>"$work/err"
st=$?
"$explain" -r "$root" -a "$repo" -p "$work/older.pkg" "$work/older" \
    "$work/newer" >"$work/a.txt" 2>>"$work/err"
check archive "$work/a.json" "$work/a.txt" "$st"
"$explain" -j -r "$root" -p "$work/older.pkg" "$work/older" "$work/newer" \
    >"$work/k.json" 2>>"$work/err"
st=$?
"$explain" -r "$root" -p "$work/older.pkg" "$work/older" "$work/newer" \
    >"$work/k.txt" 2>>"$work/err"
check kept "$work/k.json" "$work/k.txt" "$st"
grep -q "^  c 1.0 .* none: [0-9]* paths*, as the host's records say (kept records); to verify: the archive of c 1.0, listed by a signed index (none at hand)$" \
    "$work/k.txt" ||
    fail "kept: the claim of c names no kept records: $(cat "$work/k.txt")"
[ -s "$work/err" ] && fail "messages: $(cat "$work/err")"

# refused file edit: once edit has changed file, the archive level must
# still print the whole report, name file first among what did not
# verify, and end with status 2; the file is put back afterwards.
refused() {
	cp -p "$1" "$work/saved"
	eval "$2"
	"$explain" -r "$root" -a "$repo" "$work/older" "$work/newer" \
	    >"$work/out" 2>"$work/err"
	st=$?
	[ "$st" -eq 2 ] || fail "$1 after $2: status $st, not 2"
	sed -n '2p;3p' "$work/out" | grep -qF "$1" ||
	    fail "$1 after $2: not named first: $(cat "$work/out" "$work/err")"
	grep -qF "  $root/opt/intruder: new" "$work/out" ||
	    fail "$1 after $2: the other paths' verdicts lost: $(cat "$work/out")"
	cp -p "$work/saved" "$1"
}
refused "$repo/InRelease" "sed -i 's/^Date: /Date: 1/' '$repo/InRelease'"
refused "$repo/Packages" "sed -i 's/^Description: test/Description: x/' '$repo/Packages'"
refused "$repo/a_1.0_all.deb" "cp '$repo/b_1.0_all.deb' '$repo/a_1.0_all.deb'"
# Damaged kept records are an error, never a report without them: cut
# short, a file that is no such records, and a few kilobytes of xz that
# stand for more records than kavexplain reads.
size=$(wc -c <"$work/older.pkg")
head -c $((size - 20)) "$work/older.pkg" >"$work/cut.pkg"
truncate -s 129M "$work/status"
(cd "$work" && tar -cf - status | xz -0 >"$work/bomb.pkg") || fail "bomb.pkg"
rm "$work/status"
for kept in "$work/cut.pkg" "$work/older" "$work/bomb.pkg"; do
	"$explain" -r "$root" -p "$work/older.pkg" -p "$kept" "$work/older" \
	    "$work/newer" >"$work/out" 2>"$work/err"
	st=$?
	{ [ "$st" -eq 2 ] && [ ! -s "$work/out" ] && grep -qF "$kept: " "$work/err"; } ||
	    fail "-p $kept: status $st, $(cat "$work/out" "$work/err")"
done
grep -qF 'bomb.pkg: status: more than 128 MiB of records' "$work/err" ||
    fail "-p bomb.pkg: $(cat "$work/err")"
"$explain" -r "$root" -s "$work/none/x.pkg" 2>"$work/err"
st=$?
{ [ "$st" -eq 2 ] && grep -qF "$work/none/x.pkg: " "$work/err"; } ||
    fail "-s into no directory: status $st, $(cat "$work/err")"

# A repository without InRelease: Release verified by Release.gpg, with
# the same verdicts; an edited Release is refused as well.
rm "$repo/InRelease"
cp "$work/detached/Release" "$work/detached/Release.gpg" "$repo/"
"$explain" -j -r "$root" -a "$repo" "$work/older" "$work/newer" \
    >"$work/g.json" 2>"$work/err"
st=$?
"$explain" -r "$root" -a "$repo" "$work/older" "$work/newer" >"$work/g.txt" \
    2>>"$work/err"
check archive "$work/g.json" "$work/g.txt" "$st"
[ -s "$work/err" ] && fail "Release.gpg: $(cat "$work/err")"
refused "$repo/Release" "sed -i 's/^Date: /Date: 1/' '$repo/Release'"
# A damaged snapshot is an error too, never a report.
head -c 100 "$work/newer" >"$work/cut"
"$explain" -r "$root" "$work/older" "$work/cut" >"$work/out" 2>"$work/err"
st=$?
{ [ "$st" -eq 2 ] && grep -q "^db_readall(): .*cut: " "$work/err"; } ||
    fail "a cut snapshot: status $st, $(cat "$work/err")"

if [ "$fails" -eq 0 ]; then
	echo "kavexplain: every verdict as expected"
	exit 0
fi
exit 1
