#!/bin/sh
# keep-archives: apt's hook before dpkg runs (DPkg::Pre-Install-Pkgs, set
# in 70kavrel). apt deletes the archives it downloads once they are
# installed, and without an archive kavexplain cannot verify what an
# installation changed: so each archive apt is about to install is kept in
# kavrel's cache, under the name apt's own cache gives it, as a hard link
# where it can be (nothing copied), else as a copy. apt gives the file
# names on standard input, one a line (version 1 of its protocol); any
# other line is passed over. A hook that fails makes apt fail, so this
# one never does: whatever goes wrong is said on standard error, and the
# status is 0. kavnightly prunes the cache.
#
#   keep-archives [-r root]     the cache is root/var/cache/kavrel/archives
set -u
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
umask 022

say() {
	printf 'kavrel keep-archives: %s\n' "$*" >&2
}

# Reads the rest of standard input, so that apt never writes into a
# closed pipe, and ends well.
finish() {
	cat >/dev/null
	exit 0
}

root=
if [ $# -eq 2 ] && [ "$1" = -r ]; then
	root=${2%/}
elif [ $# -ne 0 ]; then
	say "usage: keep-archives [-r root]; nothing kept"
	finish
fi
cache=$root/var/cache/kavrel/archives
me=$(id -u)

# The cache must be a directory of its own, made here when missing.
if [ -L "$cache" ] || { [ -e "$cache" ] && ! [ -d "$cache" ]; }; then
	say "$cache: not a directory; nothing kept"
	finish
fi
if ! [ -d "$cache" ] && ! { mkdir -p "${cache%/*}" && mkdir -m 0755 "$cache"; }; then
	say "$cache: cannot make the cache; nothing kept"
	finish
fi

# Keeps the archive $1: a regular file, not a link, named as apt names
# archives, by its control fields (a local file may be named anything).
keep() {
	{ [ -f "$1" ] && ! [ -L "$1" ]; } || {
		say "$1: not a regular file; not kept"
		return 0
	}
	# shellcheck disable=SC2016 # dpkg-deb's fields, not the shell's
	name=$(dpkg-deb --show --showformat='${Package}_${Version}_${Architecture}' \
	    "$1") || {
		say "$1: cannot read its control fields; not kept"
		return 0
	}
	case $name in
	'' | .* | *[!A-Za-z0-9.+~:_-]*)
		say "$1: a name unfit for a file, $name; not kept"
		return 0
		;;
	esac
	name=$(printf '%s\n' "$name" | sed 's/:/%3a/g').deb
	# Kept already: a rename onto another link of the same file would
	# leave the temporary name behind.
	if [ -e "$cache/$name" ] && [ "$(stat -c %d:%i -- "$1")" = \
	    "$(stat -c %d:%i -- "$cache/$name")" ]; then
		return 0
	fi
	tmp=$cache/.$name.$$
	rm -f "$tmp"
	# A link only to a file of the hook's own user: one that another user
	# could still change must be copied.
	owner=$(stat -c %u -- "$1" 2>/dev/null) || owner=
	if { [ "$owner" != "$me" ] || ! ln -P -- "$1" "$tmp" 2>/dev/null; } &&
	    ! cp -P -- "$1" "$tmp"; then
		say "$1: cannot keep it in $cache"
		rm -f "$tmp"
		return 0
	fi
	mv -f -- "$tmp" "$cache/$name" || {
		say "$1: cannot name it $cache/$name"
		rm -f "$tmp"
	}
	return 0
}

while IFS= read -r line || [ -n "$line" ]; do
	case $line in
	/*.deb) keep "$line" ;;
	esac
done
exit 0
