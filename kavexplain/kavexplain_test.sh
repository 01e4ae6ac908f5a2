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

# What maintainer scripts do, explained by the rules: packages whose
# postinst links, copies, narrows, makes directories and logs and builds a
# CA bundle, under a root of their own whose policy keeps only owners and
# modes below /var/log, as the sample policy does. A routine install
# leaves nothing unexplained; what an intruder plants beside it stays
# unexplained.
mv "$work/src" "$work/src.first"
root=$work/rroot
repo=$work/rrepo
mkpkg web 1.0
mkdir -p "$pkg/etc/init.d" "$pkg/usr/lib/systemd/system" \
    "$pkg/etc/nginx/sites-available" "$pkg/usr/share/nginx/modules-available" \
    "$pkg/usr/share/web" "$pkg/var/log/web" "$pkg/usr/bin"
printf '#!/bin/sh\n' >"$pkg/etc/init.d/web"
printf '[Unit]\n' >"$pkg/usr/lib/systemd/system/web.service"
printf 'server {}\n' >"$pkg/etc/nginx/sites-available/default"
echo /etc/nginx/sites-available/default >"$pkg/DEBIAN/conffiles"
printf 'load x;\n' >"$pkg/usr/share/nginx/modules-available/mod-x.conf"
printf 'welcome\n' >"$pkg/usr/share/web/index.html"
printf 'rules\n' >"$pkg/etc/websudo"
printf '#!/bin/sh\necho web\n' >"$pkg/usr/bin/web"
printf '#!/bin/sh\necho ctl\n' >"$pkg/usr/bin/webctl"
chmod 0755 "$pkg/etc/init.d/web" "$pkg/usr/bin/web" "$pkg/usr/bin/webctl"
cat >"$pkg/DEBIAN/postinst" <<'EOS'
#!/bin/sh
set -e
R=$DPKG_ROOT
mkdir -p "$DPKG_ROOT/etc/rc2.d" \
    "$DPKG_ROOT/etc/systemd/system/multi-user.target.wants" \
    "$DPKG_ROOT/etc/nginx/sites-enabled" "$DPKG_ROOT/etc/nginx/modules-enabled" \
    "$DPKG_ROOT/var/www/html" "$DPKG_ROOT/var/lib/web"
ln -sf ../init.d/web "$DPKG_ROOT/etc/rc2.d/S01web"
ln -sf /usr/lib/systemd/system/web.service \
    "$DPKG_ROOT/etc/systemd/system/multi-user.target.wants/web.service"
ln -sf /etc/nginx/sites-available/default "$DPKG_ROOT/etc/nginx/sites-enabled/default"
ln -sf /usr/share/nginx/modules-available/mod-x.conf \
    "$DPKG_ROOT/etc/nginx/modules-enabled/50-mod-x.conf"
# As deb-systemd-helper keeps what it enabled.
dsh=$DPKG_ROOT/var/lib/systemd/deb-systemd-helper-enabled
mkdir -p "$dsh/multi-user.target.wants"
: >"$dsh/multi-user.target.wants/web.service"
echo /etc/systemd/system/multi-user.target.wants/web.service \
    >"$dsh/web.service.dsh-also"
cp "$DPKG_ROOT/usr/share/web/index.html" "$DPKG_ROOT/var/www/html/index.web.html"
chmod 0440 "$DPKG_ROOT/etc/websudo"
chmod 0750 "$DPKG_ROOT/var/log/web"
if [ "$(id -u)" = 0 ]; then
	chown 33:4 "$DPKG_ROOT/var/log/web"
fi
: >"$DPKG_ROOT/var/lib/web/state"
for log in access error; do
	: >"$R/var/log/web/$log.log"
done
cp -p "$DPKG_ROOT/etc/shells" "$DPKG_ROOT/etc/shells.new"
mv "$DPKG_ROOT/etc/shells.new" "$DPKG_ROOT/etc/shells"
EOS
# The certificates' package: its script writes the configuration (no
# package ships it), links each certificate and a hash link to the first,
# takes away the links of certificates that left, and writes the bundle.
for v in 1.0 1.1; do
	mkpkg cacert $v
	mkdir -p "$pkg/usr/share/ca-certificates/mozilla"
	if [ $v = 1.0 ]; then
		certs='B A' conf='mozilla/B.crt\n!mozilla/C.crt\nmozilla/A.crt\n'
		printf -- '-----A-----\n' >"$pkg/usr/share/ca-certificates/mozilla/A.crt"
	else
		certs='B D' conf='# written\nmozilla/B.crt\n!mozilla/C.crt\nmozilla/D.crt\n'
		printf -- '-----D-----\n' >"$pkg/usr/share/ca-certificates/mozilla/D.crt"
	fi
	printf -- '-----B-----' >"$pkg/usr/share/ca-certificates/mozilla/B.crt"
	cat >"$pkg/DEBIAN/postinst" <<EOS
#!/bin/sh
set -e
certs='$certs'
printf '$conf' >"\$DPKG_ROOT/etc/ca-certificates.conf"
EOS
	cat >>"$pkg/DEBIAN/postinst" <<'EOS'
d=$DPKG_ROOT/etc/ssl/certs
mkdir -p "$d"
for c in A B D; do
	case " $certs " in
	*" $c "*) ln -sf "/usr/share/ca-certificates/mozilla/$c.crt" "$d/$c.pem" ;;
	*) rm -f "$d/$c.pem" "$d/1a2b3c4d.0" "$d/5e6f7a8b.0" ;;
	esac
done
case " $certs " in
*" A "*) ln -sf A.pem "$d/1a2b3c4d.0" ;;
*) ln -sf D.pem "$d/5e6f7a8b.0" ;;
esac
sed -e '/^$/d' -e '/^#/d' -e '/^!/d' "$DPKG_ROOT/etc/ca-certificates.conf" |
    while read -r crt; do
	sed -e '$a\' "$DPKG_ROOT/usr/share/ca-certificates/$crt"
done >"$d/ca-certificates.crt"
EOS
done
for v in 1.0 1.1; do
	mkpkg cfg $v
	mkdir -p "$pkg/etc"
	echo "v=$v" >"$pkg/etc/cfg.conf"
	echo /etc/cfg.conf >"$pkg/DEBIAN/conffiles"
done
chmod 0755 "$work"/src/*/DEBIAN/postinst
debs_build "$repo"
(cd "$repo" &&
    step "index the scripts' packages" dpkg-scanpackages -m . >Packages &&
    step "write their Release" apt-ftparchive release . >Release &&
    step "sign their InRelease" gpg --batch --quiet -u 'kavexplain test' \
        --clearsign -o InRelease Release) || exit 1
debs_root
mkdir -p "$root/etc/apt/trusted.gpg.d"
step "export the signing key again" gpg --batch --export 'kavexplain test' \
    >"$root/etc/apt/trusted.gpg.d/test.gpg"
printf '/bin/sh\n' >"$root/etc/shells"
dpkg_root -i "$repo/cfg_1.0_all.deb"
echo 'v=1.0 local' >"$root/etc/cfg.conf"
{
	tree_policy "$root" A
	printf '@NO:%s/var/log\n+mug:I\n' "$root"
} >"$work/policy"
snap s_older
sleep 1
dpkg_root --force-confnew -i "$repo/web_1.0_all.deb" "$repo/cacert_1.0_all.deb" \
    "$repo/cfg_1.1_all.deb"
sleep 1
snap s_routine
"$explain" -j -r "$root" -a "$repo" "$work/s_older" "$work/s_routine" \
    >"$work/r.json" 2>"$work/err"
st=$?
"$explain" -r "$root" -a "$repo" "$work/s_older" "$work/s_routine" \
    >"$work/r.txt" 2>>"$work/err"
tst=$?
{ [ "$st" -eq 0 ] && [ "$tst" -eq 0 ]; } ||
    fail "routine install: status $st and $tst: $(cat "$work/r.txt" "$work/err")"
grep -q '"verdict":"\(unexplained\|claimed\)"' "$work/r.json" &&
    fail "routine install: $(grep '"verdict":"\(unexplained\|claimed\)"' "$work/r.json")"
cat "$work/r.txt"
grep -q '^explained by rule:$' "$work/r.txt" ||
    fail "routine install: no rules in the report: $(cat "$work/r.txt")"
# Reads lines "PATH RULE" and names each path that the JSON report $1
# does not give the verdict package by that rule.
by_rules() {
	while read -r path rule; do
		[ -n "$path" ] || continue
		grep -F "\"path\":\"$root$path\",\"verdict\":\"package\"" "$1" |
		    grep -qF "\"rule\":\"$rule\"}" ||
		    echo "$path: not by the rule $rule: $(grep -F "\"path\":\"$root$path\"," "$1")"
	done
}
# Each path, and the rule that must explain it.
owner=narrowed
echo "
/etc/shells                     unchanged
/etc/rc2.d/S01web               link
/etc/systemd/system/multi-user.target.wants/web.service link
/etc/nginx/sites-enabled/default link
/etc/nginx/modules-enabled/50-mod-x.conf link
/etc/ssl/certs/A.pem            link
/etc/ssl/certs/1a2b3c4d.0       link
/etc/cfg.conf.dpkg-old          leftover
/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/web.service enabled
/var/lib/systemd/deb-systemd-helper-enabled/web.service.dsh-also enabled
/var/www/html/index.web.html    copy
/etc/ssl/certs/ca-certificates.crt regenerated
/etc/ca-certificates.conf       regenerated
/etc/websudo                    narrowed
/var/log/web                    $owner
/var/www/html                   named
/var/lib/web/state              named
/var/log/web/access.log         log
/var/lib                        entries
" | by_rules "$work/r.json" >"$work/mismatch"
[ -s "$work/mismatch" ] && fail "rules: $(cat "$work/mismatch")"
[ -s "$work/err" ] && fail "rules: messages: $(cat "$work/err")"

# An intruder beside the routine install: a set-user-ID bit, a trojan, the
# loader's preload, sudoers.d, cron.d, an authorized key; and the abuses
# of the rules: a link from a place that does not fit, a link out of the
# watched tree, a copy that adds a set-user-ID bit, a leftover and a named
# file with other contents, a bundle with a certificate of its own, a mode
# that adds a bit, a copy with an extended attribute.
chmod 4755 "$root/usr/bin/webctl"
echo 'evil' >>"$root/usr/bin/web"
echo /usr/lib/evil.so >"$root/etc/ld.so.preload"
mkdir -p "$root/etc/sudoers.d" "$root/etc/cron.d" "$root/root/.ssh"
echo 'x ALL=(ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/evil"
echo '* * * * * root /tmp/x' >"$root/etc/cron.d/evil"
echo 'ssh-ed25519 AAAA evil' >>"$root/root/.ssh/authorized_keys"
ln -s /usr/bin/web "$root/etc/rc2.d/S02web"
ln -s "$work/outside" "$root/etc/rc2.d/S03out"
cp "$root/usr/share/web/index.html" "$root/var/www/html/suid.html"
chmod 4644 "$root/var/www/html/suid.html"
echo 'v=evil' >"$root/etc/cfg.conf.dpkg-dist"
echo data >"$root/var/lib/web/state"
echo '-----EVIL-----' >>"$root/etc/ssl/certs/ca-certificates.crt"
chmod 0666 "$root/etc/websudo"
planted="/usr/bin/webctl /usr/bin/web /etc/ld.so.preload /etc/sudoers.d/evil
/etc/cron.d/evil /root/.ssh/authorized_keys /etc/rc2.d/S02web
/etc/rc2.d/S03out /var/www/html/suid.html /etc/cfg.conf.dpkg-dist
/var/lib/web/state /etc/ssl/certs/ca-certificates.crt /etc/websudo"
if setfattr -n user.kav -v 1 "$root/var/www/html/index.web.html" 2>/dev/null; then
	planted="$planted /var/www/html/index.web.html"
fi
sleep 1
snap s_abused
"$explain" -r "$root" -a "$repo" "$work/s_older" "$work/s_abused" \
    >"$work/p.txt" 2>"$work/err"
st=$?
[ "$st" -eq 1 ] || fail "planted: status $st, not 1: $(cat "$work/p.txt" "$work/err")"
cat "$work/p.txt"
for path in $planted; do
	sed -n '/^unexplained:$/,/^[a-z]/p' "$work/p.txt" |
	    grep -qF "  $root$path: " || echo "$path"
done >"$work/mismatch"
[ -s "$work/mismatch" ] &&
    fail "planted, yet explained: $(cat "$work/mismatch") in $(cat "$work/p.txt")"
# What gives an intruder most comes first: the set-user-ID bits, the
# loader, sudoers, cron, the init links, the authorized key; the rest after.
sed -n '/^unexplained:$/,/^[a-z]/p' "$work/p.txt" | sed -n "s|^  $root\([^:]*\): .*|\1|p" |
    head -n 8 | tr '\n' ' ' >"$work/first"
want="/usr/bin/webctl /var/www/html/suid.html /etc/ld.so.preload /etc/sudoers.d /etc/sudoers.d/evil /etc/cron.d /etc/cron.d/evil /etc/rc2.d/S02web "
[ "$(cat "$work/first")" = "$want" ] ||
    fail "planted: the unexplained paths begin $(cat "$work/first"), want $want"

# The certificates upgraded: one leaves, one comes. Its links go, the
# configuration and the bundle are written again (over the planted
# certificate), and nothing is left unexplained.
dpkg_root -i "$repo/cacert_1.1_all.deb"
sleep 1
snap s_ca
"$explain" -j -r "$root" -a "$repo" "$work/s_abused" "$work/s_ca" \
    >"$work/c.json" 2>"$work/err"
st=$?
[ "$st" -eq 0 ] || fail "certificates upgraded: status $st: $(cat "$work/c.json" "$work/err")"
echo "
/etc/ssl/certs/A.pem            withdrawn
/etc/ssl/certs/1a2b3c4d.0       withdrawn
/etc/ssl/certs/D.pem            link
/etc/ssl/certs/5e6f7a8b.0       link
/etc/ca-certificates.conf       regenerated
/etc/ssl/certs/ca-certificates.crt regenerated
" | by_rules "$work/c.json" >"$work/mismatch"
[ -s "$work/mismatch" ] && fail "certificates upgraded: $(cat "$work/mismatch")"

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
