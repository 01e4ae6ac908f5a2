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

# The keys: the repository's, which apt under the root trusts; one that
# a source names with Signed-By for another source, other.example; one
# that a keyring package brings in later.
for key in 'kavexplain test' 'other source' 'keyring upgrade'; do
	step "make the key $key" gpg --batch --quiet --passphrase '' \
	    --quick-gen-key "$key" ed25519 sign never
done
# In place before the older snapshot, which is what they are trusted as.
pkgtree_trust() {
	mkdir -p "$root/etc/apt/keyrings" "$root/etc/apt/sources.list.d"
	step "export the signing key" gpg --batch --export 'kavexplain test' \
	    >"$root/etc/apt/trusted.gpg.d/test.gpg"
	step "export the other key" gpg --batch --export 'other source' \
	    >"$root/etc/apt/keyrings/other.gpg"
	echo 'deb [signed-by=/etc/apt/keyrings/other.gpg] http://other.example/ s main' \
	    >"$root/etc/apt/sources.list.d/other.list"
}

# The packages, the root and the two snapshots.
. "$(dirname "$0")/../testutil/policy.sh"
. "$(dirname "$0")/../testutil/pkgtree.sh"

# A keyring package, in the repository but installed only for the last
# rows: it adds a keyring of the third key to trusted.gpg.d.
mkpkg keyring 1.0
mkdir -p "$pkg/etc/apt/trusted.gpg.d"
step "export the third key" gpg --batch --export 'keyring upgrade' \
    >"$pkg/etc/apt/trusted.gpg.d/upgrade.gpg"
step "build the keyring package" dpkg-deb --root-owner-group -Zgzip -b \
    "$pkg" "$repo/keyring_1.0_all.deb" >/dev/null

# The signed repository.
(cd "$repo" &&
    step "index the packages" dpkg-scanpackages -m . >Packages &&
    step "write Release" apt-ftparchive release . >Release &&
    step "sign InRelease" gpg --batch --quiet -u 'kavexplain test' \
        --clearsign -o InRelease Release &&
    step "sign Release.gpg" gpg --batch --quiet -u 'kavexplain test' \
        --armor --detach-sign -o Release.gpg Release) || exit 1
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
# unverified file edit: refused, and no path rests on the repository's
# archives, in either form.
unverified() {
	refused "$1" "$2"
	cp -p "$1" "$work/saved"
	eval "$2"
	"$explain" -j -r "$root" -a "$repo" "$work/older" "$work/newer" \
	    >"$work/out" 2>"$work/err"
	st=$?
	[ "$st" -eq 2 ] || fail "$1 after $2: -j: status $st, not 2"
	grep -qF '"evidence":"archive"' "$work/out" &&
	    fail "$1 after $2: archives used: $(cat "$work/out")"
	cp -p "$work/saved" "$1"
}
unverified "$repo/InRelease" "sed -i 's/^Date: /Date: 1/' '$repo/InRelease'"
unverified "$repo/Packages" "sed -i 's/^Description: test/Description: x/' '$repo/Packages'"
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
unverified "$repo/Release" "sed -i 's/^Date: /Date: 1/' '$repo/Release'"
# The trust roots. run NAME ARGS...: kavexplain on the two snapshots (or
# $newer) with ARGS, as text into $work/NAME.txt and as JSON into
# $work/NAME.json; st is the text's status, jst the JSON's.
newer=$work/newer
run() {
	name=$1
	shift
	"$explain" -r "$root" "$@" "$work/older" "$newer" >"$work/$name.txt" \
	    2>"$work/err"
	st=$?
	[ -s "$work/err" ] && fail "$name: messages: $(cat "$work/err")"
	# JSON lines tell what did not verify on standard error.
	"$explain" -j -r "$root" "$@" "$work/older" "$newer" \
	    >"$work/$name.json" 2>/dev/null
	jst=$?
}
# head_has NAME SECTION LINE: the report's section (not verified, not
# trusted, trusted as upgraded) has LINE.
head_has() {
	sed -n "/^$2:\$/,/^[a-z]/p" "$work/$1.txt" | grep -qxF "  $3" ||
	    fail "$1: no line $3 under $2: $(cat "$work/$1.txt")"
}
# blind NAME: status 2 and no path rests on an archive.
blind() {
	{ [ "$st" -eq 2 ] && [ "$jst" -eq 2 ]; } ||
	    fail "$1: status $st and $jst, not 2"
	grep -qF '"evidence":"archive"' "$work/$1.json" &&
	    fail "$1: archives used: $(cat "$work/$1.json")"
}

# A keyring added after the older snapshot is not trusted, whatever it
# signs, and the head of the report says so.
cp -p "$repo/Release.gpg" "$work/saved"
step "sign with the third key" gpg --batch --quiet --yes -u 'keyring upgrade' \
    --armor --detach-sign -o "$repo/Release.gpg" "$repo/Release"
gpg --batch --export 'keyring upgrade' >"$root/etc/apt/trusted.gpg.d/added.gpg"
run added -a "$repo"
blind added
head_has added "not trusted" "$root/etc/apt/trusted.gpg.d/added.gpg: added since the older snapshot"
head_has added "not verified" "$repo/Release: the signature does not verify with gpgv"
rm "$root/etc/apt/trusted.gpg.d/added.gpg"
cp -p "$work/saved" "$repo/Release.gpg"
# Nor is one rewritten since, though it still holds the repository's key.
keyring=$root/etc/apt/trusted.gpg.d/test.gpg
cp -p "$keyring" "$work/saved"
gpg --batch --export 'kavexplain test' 'keyring upgrade' >"$keyring"
run rewritten -a "$repo"
blind rewritten
head_has rewritten "not trusted" "$keyring: changed since the older snapshot"
head_has rewritten "not verified" "$repo/Release: no keyring is trusted for it"
cp -p "$work/saved" "$keyring"

# Indexes in apt's lists under the root, their archives in apt's cache:
# list NAME KEY writes the repository's Packages as the lists of the
# source apt names NAME, under an InRelease signed by KEY.
lists=$root/var/lib/apt/lists
mkdir -p "$lists" "$root/var/cache/apt/archives"
cp "$repo"/[abcd]_*.deb "$root/var/cache/apt/archives/"
list() {
	rm -f "$lists"/*
	cp "$repo/Packages" "$lists/$1_main_binary-all_Packages"
	printf 'Suite: s\nSHA256:\n %s %s main/binary-all/Packages\n' \
	    "$(sha256sum <"$repo/Packages" | cut -d' ' -f1)" \
	    "$(wc -c <"$repo/Packages")" >"$work/list.rel"
	step "sign the list" gpg --batch --quiet --yes -u "$2" --clearsign \
	    -o "$lists/$1_InRelease" "$work/list.rel"
}
# A source's own key verifies its lists; the trusted keyring, those of a
# source that names none.
list other.example_dists_s 'other source'
run scoped
check archive "$work/scoped.json" "$work/scoped.txt" "$st"
grep -q '^not verified:$\|^not trusted:$' "$work/scoped.txt" &&
    fail "scoped: $(cat "$work/scoped.txt")"
list deb.example.org_debian_dists_s 'kavexplain test'
run unscoped
check archive "$work/unscoped.json" "$work/unscoped.txt" "$st"
# A key that a source names for another source verifies nothing else.
list deb.example.org_debian_dists_s 'other source'
run planted
blind planted
head_has planted "not verified" "$lists/deb.example.org_debian_dists_s_InRelease: the signature does not verify with gpgv"

# A keyring upgrade: the keyring package adds upgrade.gpg, and the lists
# are signed by its key alone. Its archive, verified with the keys of
# before, explains the new keyring, which then verifies the lists; without
# that archive it is not trusted.
dpkg_root -i "$repo/keyring_1.0_all.deb"
sleep 1
snap upgraded
newer=$work/upgraded
list deb.example.org_debian_dists_s 'keyring upgrade'
upgrade=$root/etc/apt/trusted.gpg.d/upgrade.gpg
run upgrade -a "$repo"
{ [ "$st" -eq 1 ] && [ "$jst" -eq 1 ]; } ||
    fail "upgrade: status $st and $jst, not 1: $(cat "$work/upgrade.txt")"
head_has upgrade "trusted as upgraded" "$upgrade: its change is keyring 1.0, verified with the keys of before"
grep -qF "\"path\":\"$upgrade\",\"verdict\":\"package\",\"evidence\":\"archive\"" \
    "$work/upgrade.json" || fail "upgrade: $(cat "$work/upgrade.json")"
grep -q '^not verified:$' "$work/upgrade.txt" &&
    fail "upgrade: $(cat "$work/upgrade.txt")"
run unvouched
blind unvouched
head_has unvouched "not trusted" "$upgrade: added since the older snapshot"
head_has unvouched "not verified" "$lists/deb.example.org_debian_dists_s_InRelease: the signature does not verify with gpgv"
rm -f "$lists"/* "$root"/var/cache/apt/archives/*

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
