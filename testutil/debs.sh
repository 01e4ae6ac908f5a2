# shellcheck shell=sh disable=SC2154 # work and root come from the caller
# debs.sh: tiny Debian packages for the shell tests, built with dpkg-deb
# and installed under the scratch root $root with dpkg --root. Sourced,
# with $work (the test's directory) and $root set, fail defined and
# step.sh sourced.
#
#   mkpkg NAME VERSION     a package tree in $pkg to fill
#   debs_build DIR         every tree made so far, as DIR/NAME_VERSION_all.deb
#   debs_sign DIR [KEY]    DIR's archives as a flat repository: Packages,
#                          Release, and InRelease signed by gpg's KEY (its
#                          default key when none is named)
#   debs_root              an empty package database under $root
#   dpkg_root ARGS...      dpkg on $root, logging under it

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
	for tree in "$work"/src/*; do
		# The digests a package ships, as Debian's packaging tools write
		# them: dpkg keeps them under its info directory as they are.
		(cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' |
		    LC_ALL=C sort -z | xargs -0 -r md5sum >DEBIAN/md5sums) ||
		    fail "the digests of $(basename "$tree")"
		[ -s "$tree/DEBIAN/md5sums" ] || rm -f "$tree/DEBIAN/md5sums"
		step "build the package $(basename "$tree")" \
		    dpkg-deb --root-owner-group -Zgzip -b "$tree" \
		    "$1/$(basename "$tree")_all.deb" >/dev/null
	done
}

debs_sign() {
	(cd "$1" &&
	    step "index $1" dpkg-scanpackages -m . >Packages &&
	    step "the Release of $1" apt-ftparchive release . >Release &&
	    step "sign $1" gpg --batch --quiet ${2:+-u "$2"} --clearsign \
	        -o InRelease Release) || exit 1
}

debs_root() {
	mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" \
	    "$root/var/log"
	: >"$root/var/lib/dpkg/status"
}

dpkg_root() {
	dpkg --root="$root" --log="$root/var/log/dpkg.log" \
	    --force-script-chrootless --force-not-root "$@" >/dev/null ||
	    fail "dpkg $*"
}
