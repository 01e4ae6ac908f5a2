#!/bin/sh
# The Debian package end to end: builds it from a copy of the source tree
# (without its own test run), checks it with lintian, compares its files
# with what the install rules of the build tree BUILD lay out (make install),
# unpacks it into a scratch root and runs the installed kavconf on the
# installed policy. Skipped (77) where the Debian tools are missing.
#
#   package_test.sh SRC BUILD
set -u
src=$1 build=$2
work=$build/package-test

for tool in dpkg-buildpackage dh lintian shellcheck; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "package_test: skipped: $tool is missing" \
		    "(apt-get install dpkg-dev debhelper lintian shellcheck)"
		exit 77
	fi
done

fail() {
	echo "package_test: $*" >&2
	exit 1
}

# The programs again, optimised, on two cores; make check has run the tests.
deb=$(DEB_BUILD_OPTIONS='nocheck parallel=2' \
    sh "$src/debian/build.sh" "$src" "$work/pkg" -Pnocheck) ||
    fail "the package did not build"

# Every tag counts: the informational ones that are expected are overridden
# in debian/kavrel.lintian-overrides, each with the reason.
lintian --fail-on error,warning,info --info --display-info "$deb" ||
    fail "lintian finds fault with $deb"

root=$work/root
ctl=$work/control
rm -rf "$root" "$ctl"
{ dpkg-deb -x "$deb" "$root" && dpkg-deb -e "$deb" "$ctl"; } ||
    fail "cannot unpack $deb"

# The files of the package are those of make install, moved to the
# package's paths, besides its documents and lintian overrides.
stage=$work/stage
rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --prefix /usr/local >/dev/null ||
    fail "cmake --install failed"
unitdir=$(sed -n 's/^KAV_UNITDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
aptconfdir=$(sed -n 's/^KAV_APTCONFDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
(cd "$stage" && find . ! -type d) | sed -e 's|^\./|/|' \
    -e 's|^/usr/local/sbin/|/usr/sbin/|' \
    -e 's|^/usr/local/libexec/|/usr/libexec/|' \
    -e "s|^$aptconfdir/|/etc/apt/apt.conf.d/|" \
    -e 's|^/usr/local/share/man/\(.*\)$|/usr/share/man/\1.gz|' \
    -e 's|^/usr/local/etc/\(.*\)\.sample$|/etc/kavrel/\1|' \
    -e "s|^$unitdir/|/lib/systemd/system/|" | sort >"$work/expected"
(cd "$root" && find . ! -type d) | sed 's|^\./|/|' |
    grep -v -e '^/usr/share/doc/kavrel/' -e '^/usr/share/lintian/' |
    sort >"$work/packaged"
diff -u "$work/expected" "$work/packaged" ||
    fail "the package's files differ from make install's (- make install, + package)"
for doc in copyright changelog.gz README.Debian; do
	[ -f "$root/usr/share/doc/kavrel/$doc" ] || fail "no /usr/share/doc/kavrel/$doc"
done

# The policy and the settings are conffiles, and the installed programs
# name them by default.
printf '/etc/apt/apt.conf.d/70kavrel\n/etc/kavrel/kavnightly.conf\n/etc/kavrel/kavrel.conf\n' |
    diff -u - "$ctl/conffiles" || fail "conffiles differ (+ the package's)"
while read -r file says; do
	grep -aqF -- "$says" "$root$file" || fail "$file does not name $says"
done <<'TABLE'
/usr/sbin/kavbuild /etc/kavrel/kavrel.conf
/usr/sbin/kavconf /etc/kavrel/kavrel.conf
/usr/sbin/kavnightly /etc/kavrel/kavrel.conf
/usr/sbin/kavnightly /etc/kavrel/kavnightly.conf
/lib/systemd/system/kavnightly.service ExecStart=/usr/sbin/kavnightly
/etc/apt/apt.conf.d/70kavrel /usr/libexec/kavrel/keep-archives;
TABLE

for script in "$ctl"/preinst "$ctl"/postinst "$ctl"/prerm "$ctl"/postrm; do
	[ -e "$script" ] || continue
	shellcheck -s sh "$script" || fail "shellcheck finds fault with $script"
done

"$root/usr/sbin/kavconf" -c "$root/etc/kavrel/kavrel.conf" >"$work/kavconf.out" ||
    fail "the installed kavconf rejects the installed policy"
grep -q '^@' "$work/kavconf.out" || fail "kavconf printed no list: $(head -3 "$work/kavconf.out")"
echo "package_test: $deb passes"
