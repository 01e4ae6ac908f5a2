# shellcheck shell=sh disable=SC2154 # work and build come from the caller
# pkgtree.sh: sourced by the end-to-end tests of kavexplain and kavaccept.
# Builds tiny packages with dpkg-deb into $repo, installs them under the
# scratch root $root with dpkg --root (calling pkgtree_trust first when the
# caller defines it), and takes the snapshot $work/older,
# with the package records of that moment in $work/older.pkg, then
# upgrades, removes and edits by hand and takes $work/newer. The caller
# sets work (a physical path), build (kavbuild), explain (kavexplain) and
# fail (which reports a check that failed), has sourced policy.sh and
# step.sh and checked that dpkg and dpkg-deb are installed. xattr_row is then
# kavexplain's expected verdict of the extended attribute set, or empty
# where the file system refused it.
root=$work/root
repo=$work/repo

. "$(dirname "$0")/../testutil/debs.sh"

# The packages: a has a configuration file and reaches its program through
# a merged-/usr style /bin; b is upgraded and drops a file and adds one; c
# is removed; d holds a symbolic link, and a program that is given a
# set-user-ID bit once installed. b 1.1 has a maintainer script, to which
# a line is added once installed.
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
printf '#!/bin/sh\nexit 0\n' >"$pkg/DEBIAN/postinst"
chmod 0755 "$pkg/DEBIAN/postinst"
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
printf '#!/bin/sh\n' >"$pkg/usr/lib/d/helper"
chmod 0755 "$pkg/usr/lib/d/helper"
debs_build "$repo"
debs_root
mkdir -p "$root/usr/bin" "$root/etc/apt/trusted.gpg.d" "$root/opt"
ln -s usr/bin "$root/bin"
# The keyrings and sources apt trusts count only as the older snapshot
# holds them: a caller that defines pkgtree_trust puts them in place here.
if command -v pkgtree_trust >/dev/null 2>&1; then
	pkgtree_trust
fi

# Snapshots of the root, every attribute recorded.
tree_policy "$root" A >"$work/policy"
snap() {
	"$build" -c "$work/policy" -d "$work/$1" 2>"$work/build.err" ||
	    { cat "$work/build.err" >&2; exit 1; }
}

dpkg_root -i "$repo/a_1.0_all.deb" "$repo/b_1.0_all.deb" "$repo/c_1.0_all.deb"
echo 'move me' >"$root/opt/moveme"
snap older
# The package records of that moment, as a nightly run keeps them.
"$explain" -r "$root" -s "$work/older.pkg" || fail "-s: status $?"
sleep 1
dpkg_root -i "$repo/a_1.0_all.deb" "$repo/b_1.1_all.deb" "$repo/d_1.0_all.deb"
dpkg_root -r c
echo 'setting=2' >"$root/etc/a.conf"
echo 'other bytes' >"$root/usr/share/a/data"
chmod 4755 "$root/usr/share/a/prog"
chmod 4755 "$root/usr/lib/d/helper"
echo 'echo intruder' >>"$root/var/lib/dpkg/info/b.postinst"
# A capability or any other extended attribute is never a package's doing.
# shellcheck disable=SC2034 # read by the test that sources this file
if setfattr -n user.kav -v 1 "$root/usr/share/a/lib" 2>/dev/null; then
	xattr_row='/usr/share/a/lib changed unexplained/dpkg unexplained/archive unexplained/dpkg'
else
	xattr_row=
fi
echo 'intruder' >"$root/opt/intruder"
mv "$root/opt/moveme" "$root/opt/moved"
sleep 1
snap newer
