#!/bin/sh
# Builds the binary package from a copy of the source tree SRC made in OUT,
# since dpkg-buildpackage writes the .deb beside the directory it builds in,
# and prints the path of the .deb. Further arguments go to dpkg-buildpackage.
#
#   build.sh SRC OUT [dpkg-buildpackage options]
set -eu

[ $# -ge 2 ] || { echo 'usage: build.sh SRC OUT [options]' >&2; exit 2; }
src=$1 out=$2
shift 2
version=$(cat "$src/VERSION")
copy=$out/kavrel-$version

rm -rf "$out"
mkdir -p "$copy"
# Everything but the version control and the build trees, which may hold
# this very copy.
tar -C "$src" --exclude-vcs --exclude='./build*' --exclude='./obj-*' \
    -cf - . | tar -C "$copy" -xf -
(cd "$copy" && dpkg-buildpackage -us -uc -b "$@") >"$out/build.log" 2>&1 || {
	tail -n 30 "$out/build.log" >&2
	echo "build.sh: dpkg-buildpackage failed; the whole log is" \
	    "$out/build.log" >&2
	exit 1
}
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
echo "$out/kavrel_${version}_$arch.deb"
