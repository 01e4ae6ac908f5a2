# shellcheck shell=sh
# debs.sh: tiny Debian packages for the shell tests, built with dpkg-deb
# and installed under a scratch root with dpkg --root. Sourced, with $work
# set to the test's directory.
#
#   debs_tools TOOL...          exits 77 unless every TOOL is installed
#   mkpkg NAME VERSION          a package tree in $pkg to fill
#   debs_build DIR              every tree made so far, as DIR/NAME_VERSION_all.deb
#   debs_root ROOT              an empty package database under ROOT
#   dpkg_root ROOT ARGS...      dpkg on ROOT, logging under it; fail() on error

debs_tools() {
	for tool in "$@"; do
		if ! command -v "$tool" >/dev/null 2>&1; then
			echo "$tool is not installed; skipping" >&2
			exit 77
		fi
	done
}

mkpkg() {
	pkg=$work/src/$1_$2
	mkdir -p "$pkg/DEBIAN"
	printf 'Package: %s\nVersion: %s\nArchitecture: all\n' "$1" "$2" \
	    >"$pkg/DEBIAN/control"
	printf 'Maintainer: T <t@example.org>\nDescription: test\n' \
	    >>"$pkg/DEBIAN/control"
}

debs_build() {
	mkdir -p "$1"
	for src in "$work"/src/*; do
		dpkg-deb --root-owner-group -Zgzip -b "$src" \
		    "$1/$(basename "$src")_all.deb" >/dev/null || exit 1
	done
}

debs_root() {
	mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/log"
	: >"$1/var/lib/dpkg/status"
}

dpkg_root() {
	r=$1
	shift
	dpkg --root="$r" --log="$r/var/log/dpkg.log" \
	    --force-script-chrootless --force-not-root "$@" >/dev/null ||
	    fail "dpkg $*"
}
