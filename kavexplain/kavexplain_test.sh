#!/bin/sh
# End-to-end test of kavexplain: tiny packages built with dpkg-deb and
# installed under a scratch root with dpkg --root, a snapshot before and
# after package operations and hand-made changes, and every verdict checked
# at both levels of evidence, in both output forms, and with the package
# records kept (-s) with the older snapshot. The archive level gets a
# repository signed with a throwaway key.
#
#   kavexplain_test.sh kavexplain kavbuild parent
#
# Exit status 0 when every check passes, 1 when one does not, 77 when the
# package tools are not installed.
set -u
LC_ALL=C
TZ=UTC
export LC_ALL TZ

for tool in dpkg dpkg-deb dpkg-scanpackages apt-ftparchive gpg gpgv; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "$tool is not installed; skipping" >&2
		exit 77
	fi
done
explain=$1
build=$2
work=$(mktemp -d "$3/kavexplain.XXXXXX") || exit 1
# The key's agent goes with the directory.
trap 'gpgconf --homedir "$work/gnupg" --kill all 2>/dev/null; rm -rf "$work"' EXIT
work=$(cd "$work" && pwd -P)
root=$work/root
repo=$work/repo
fails=0

fail() {
	echo "FAIL: $*" >&2
	fails=$((fails + 1))
}

# mkpkg name version: a package tree in $work/src/name_version to fill.
mkpkg() {
	pkg=$work/src/$1_$2
	mkdir -p "$pkg/DEBIAN"
	printf 'Package: %s\nVersion: %s\nArchitecture: all\n' "$1" "$2" \
	    >"$pkg/DEBIAN/control"
	printf 'Maintainer: T <t@example.org>\nDescription: test\n' \
	    >>"$pkg/DEBIAN/control"
}

# The packages: a has a configuration file and reaches its program through
# a merged-/usr style /bin; b is upgraded and drops a file and adds one; c
# is removed; d holds a symbolic link.
mkpkg a 1.0
mkdir -p "$pkg/bin" "$pkg/etc" "$pkg/usr/share/a"
echo 'tool a' >"$pkg/bin/a-tool"
echo 'setting=1' >"$pkg/etc/a.conf"
echo /etc/a.conf >"$pkg/DEBIAN/conffiles"
echo 'data of a' >"$pkg/usr/share/a/data"
printf '#!/bin/sh\n' >"$pkg/usr/share/a/prog"
chmod 0755 "$pkg/usr/share/a/prog"
echo 'lib of a' >"$pkg/usr/share/a/lib"
mkpkg b 1.0
mkdir -p "$pkg/usr/share/b"
echo 'old of b' >"$pkg/usr/share/b/old"
echo 'keep 1.0' >"$pkg/usr/share/b/keep"
mkpkg b 1.1
mkdir -p "$pkg/usr/share/b"
echo 'keep 1.1' >"$pkg/usr/share/b/keep"
echo 'new in 1.1' >"$pkg/usr/share/b/new"
mkpkg c 1.0
mkdir -p "$pkg/usr/share/c"
echo 'file of c' >"$pkg/usr/share/c/file"
mkpkg d 1.0
mkdir -p "$pkg/usr/lib/d"
echo 'target' >"$pkg/usr/lib/d/target"
ln -s target "$pkg/usr/lib/d/link"
mkdir "$repo"
for src in "$work"/src/*; do
	dpkg-deb --root-owner-group -Zgzip -b "$src" \
	    "$repo/$(basename "$src")_all.deb" >/dev/null || exit 1
done

mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" \
    "$root/var/log" "$root/usr/bin" "$root/etc/apt/trusted.gpg.d" "$root/opt"
: >"$root/var/lib/dpkg/status"
ln -s usr/bin "$root/bin"
dpkg_root() {
	dpkg --root="$root" --log="$root/var/log/dpkg.log" \
	    --force-script-chrootless --force-not-root "$@" >/dev/null ||
	    fail "dpkg $*"
}

# Snapshots: kavbuild walks from "/", each ancestor of the root letting it
# through the next name only.
dir=/
rest=${root#/}
while [ -n "$rest" ]; do
	name=${rest%%/*}
	printf '@NO:%s\n+N\nname:%s\n+N:S\n' "$dir" "$name"
	case $rest in */*) rest=${rest#*/} ;; *) rest= ;; esac
	dir=${dir%/}/$name
done >"$work/policy"
printf '@NO:%s\n+A:I\n' "$root" >>"$work/policy"
snap() {
	"$build" -c "$work/policy" -d "$work/$1" 2>"$work/build.err" ||
	    { cat "$work/build.err" >&2; exit 1; }
}

dpkg_root -i "$repo/a_1.0_all.deb" "$repo/b_1.0_all.deb" "$repo/c_1.0_all.deb"
echo 'move me' >"$root/opt/moveme"
snap older
"$explain" -r "$root" -s "$work/older.pkg" || fail "-s: status $?"
sleep 1
dpkg_root -i "$repo/a_1.0_all.deb" "$repo/b_1.1_all.deb" "$repo/d_1.0_all.deb"
dpkg_root -r c
echo 'setting=2' >"$root/etc/a.conf"
echo 'other bytes' >"$root/usr/share/a/data"
chmod 4755 "$root/usr/share/a/prog"
# A capability or any other extended attribute is never a package's doing.
xattr_row=
setfattr -n user.kav -v 1 "$root/usr/share/a/lib" 2>/dev/null &&
    xattr_row='/usr/share/a/lib        changed unexplained dpkg    archive dpkg'
echo 'intruder' >"$root/opt/intruder"
mv "$root/opt/moveme" "$root/opt/moved"
sleep 1
snap newer

# The signed repository, and apt trusting its key under the root.
export GNUPGHOME="$work/gnupg"
mkdir -m 0700 "$GNUPGHOME"
gpg --batch --quiet --passphrase '' --quick-gen-key 'kavexplain test' \
    ed25519 sign never 2>/dev/null || exit 1
gpg --batch --export >"$root/etc/apt/trusted.gpg.d/test.gpg" || exit 1
(cd "$repo" && dpkg-scanpackages -m . >Packages 2>/dev/null &&
    apt-ftparchive release . >Release &&
    gpg --batch --quiet --clearsign -o InRelease Release) || exit 1
rm "$repo/Release"

# Each expected verdict: path under the root, change, verdict, evidence
# without the archives, with them, and with the kept records but no
# archives; "package" in the last two: only those explain the path.
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
/var/lib/dpkg/status    changed package     dpkg    dpkg    dpkg
/var/log/dpkg.log       changed package     dpkg    dpkg    dpkg
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
# short, and a file that is no such records.
size=$(wc -c <"$work/older.pkg")
head -c $((size - 20)) "$work/older.pkg" >"$work/cut.pkg"
for kept in "$work/cut.pkg" "$work/older"; do
	"$explain" -r "$root" -p "$work/older.pkg" -p "$kept" "$work/older" \
	    "$work/newer" >"$work/out" 2>"$work/err"
	st=$?
	[ "$st" -eq 2 ] && [ ! -s "$work/out" ] && grep -qF "$kept: " "$work/err" ||
	    fail "-p $kept: status $st, $(cat "$work/out" "$work/err")"
done
"$explain" -r "$root" -s "$work/none/x.pkg" 2>"$work/err"
st=$?
[ "$st" -eq 2 ] && grep -qF "$work/none/x.pkg: " "$work/err" ||
    fail "-s into no directory: status $st, $(cat "$work/err")"
# A damaged snapshot is an error too, never a report.
head -c 100 "$work/newer" >"$work/cut"
"$explain" -r "$root" "$work/older" "$work/cut" >"$work/out" 2>"$work/err"
st=$?
[ "$st" -eq 2 ] && grep -q "^db_readall(): .*cut: " "$work/err" ||
    fail "a cut snapshot: status $st, $(cat "$work/err")"

if [ "$fails" -eq 0 ]; then
	echo "kavexplain: every verdict as expected"
	exit 0
fi
exit 1
