#!/bin/sh
# Runs shellcheck on every shell file of the source tree SRC: each *.sh
# file and each file whose first line runs a shell, found by listing the
# tree, so that a new script is checked without being named anywhere.
# The build trees and what a package build leaves in the tree are not
# looked at. .shellcheckrc at the top says how sourced files are found.
#
#   tools/shellcheck_test.sh SRC
#
# Exit status 0 when every file passes, 1 when one does not, 77 (skipped)
# without shellcheck.
set -u
src=$1

if ! command -v shellcheck >/dev/null 2>&1; then
	echo "shellcheck is not installed; skipping" >&2
	exit 77
fi

list=$(mktemp) || exit 1
trap 'rm -f "$list"' EXIT
(cd "$src" && find . \( -path './build*' -o -path './obj-*' -o -name .git \
    -o -path ./debian/kavrel -o -path ./debian/tmp \
    -o -path ./debian/.debhelper \) -prune -o -type f -print) |
    sort | while IFS= read -r file; do
	case $file in
	*.sh) echo "$file" ;;
	*)
		IFS= read -r first <"$src/$file" 2>/dev/null || continue
		case $first in
		'#!/bin/sh'* | '#!/bin/bash'* | '#!/bin/dash'* | '#!/usr/bin/env sh'* | \
		    '#!/usr/bin/env bash'*) echo "$file" ;;
		esac
		;;
	esac
done >"$list"

if [ ! -s "$list" ]; then
	echo "no shell file found under $src" >&2
	exit 1
fi
# Each file from the top of the tree, where .shellcheckrc is.
fail=0
while IFS= read -r file; do
	(cd "$src" && shellcheck "$file") || fail=1
done <"$list"
echo "shellcheck: $(wc -l <"$list") files checked:"
cat "$list"
exit "$fail"
