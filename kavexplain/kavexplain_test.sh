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

# Each expected verdict: path under the root, change, verdict, evidence
# without the archives, with them, and with the kept records but no
# archives; "package" in the last two: only those explain the path; a
# verdict and evidence as "unexplained/archive": that verdict at that
# level.
expect="
/usr/bin/a-tool         changed package     dpkg    archive dpkg
/etc/a.conf             changed conffile    dpkg    archive dpkg
/usr/share/a/data       changed unexplained dpkg    archive dpkg
/usr/share/a/prog       changed unexplained dpkg    archive dpkg
/opt/intruder           new     unexplained dpkg    dpkg    dpkg
/opt/moveme             deleted moved       snapshots snapshots snapshots
/opt/moved              new     moved       snapshots snapshots snapshots
/usr/share/b/keep       changed package     dpkg    archive dpkg
/usr/share/b/new        new     package     dpkg    archive dpkg
/usr/share/b/old        deleted unexplained dpkg    package package
/usr/share/c/file       deleted unexplained dpkg    package package
/usr/lib/d/link         new     unexplained dpkg    package dpkg
/usr/lib/d/target       new     package     dpkg    archive dpkg
/usr/lib/d/helper       new     unexplained dpkg    archive dpkg
/var/lib/dpkg/status    changed claimed     dpkg    package dpkg
/var/log/dpkg.log       changed claimed     dpkg    package dpkg
/var/lib/dpkg/info/b.postinst new claimed dpkg      unexplained/archive dpkg
/var/lib/dpkg/info/b.list changed claimed   dpkg    package dpkg
/var/lib/dpkg/info/d.list new   claimed     dpkg    package dpkg
/var/lib/dpkg/info/c.list deleted claimed   dpkg    package dpkg
/var/lib/dpkg/info/b.md5sums changed claimed dpkg   dpkg    dpkg
/opt                    changed unexplained dpkg    dpkg    dpkg
$xattr_row
"

# check level json-file text-file status: every row in both forms. The
# archive level may have the kept records too: the archive comes first.
check() {
	level=$1
	echo "$expect" | while read -r path change verdict dpkgev archev keptev; do
		[ -n "$path" ] || continue
		ev=$dpkgev
		kept=
		if [ "$level" = archive ]; then
			ev=$archev
			# A deleted path or link that only the archive explains.
			if [ "$archev" = package ]; then
				verdict=package
				ev=archive
			fi
		elif [ "$level" = kept ]; then
			ev=$keptev
			if [ "$keptev" = package ]; then
				verdict=package
				ev=dpkg
				kept=",\"kept_records\":\"$work/older.pkg\""
			fi
		fi
		case $ev in */*) verdict=${ev%/*} ev=${ev#*/} ;; esac
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
grep -q "^  c 1.0 .* none: .*, all match, dpkg (kept records)$" "$work/k.txt" ||
    fail "kept: the group of c names no kept records: $(cat "$work/k.txt")"
[ -s "$work/err" ] && fail "messages: $(cat "$work/err")"

# refused file edit: the archive level must end with status 2 and name file
# once edit has changed it; the file is put back afterwards.
refused() {
	cp -p "$1" "$work/saved"
	eval "$2"
	"$explain" -r "$root" -a "$repo" "$work/older" "$work/newer" \
	    >"$work/out" 2>"$work/err"
	st=$?
	[ "$st" -eq 2 ] || fail "$1 after $2: status $st, not 2"
	[ -s "$work/out" ] && fail "$1 after $2: a report: $(cat "$work/out")"
	grep -qF "$1" "$work/err" || fail "$1 after $2: $(cat "$work/err")"
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
