#!/bin/sh
# Formats every tracked .cc and .h file with the repository's .clang-format.
#
#   format.sh          rewrites the files in place
#   format.sh --check  changes nothing; lists the files that are not
#                      formatted and exits with 1 when there are any
#
# CLANG_FORMAT names the program (clang-format by default). The style is
# written for clang-format 14: another version may format some lines
# differently.
set -eu

usage() {
	echo "usage: format.sh [--check]" >&2
	exit 2
}

check=no
case $# in
0) ;;
1) [ "$1" = --check ] || usage; check=yes ;;
*) usage ;;
esac

cf=${CLANG_FORMAT:-clang-format}
if ! command -v "$cf" >/dev/null 2>&1; then
	echo "format.sh: $cf not found (Debian: apt-get install clang-format)" >&2
	exit 2
fi
cd "$(git -C "$(dirname "$0")" rev-parse --show-toplevel)"

if [ "$check" = no ]; then
	git ls-files -z -- '*.cc' '*.h' | xargs -0 -r "$cf" -i --style=file
	exit 0
fi

# All files in one run first, the usual case; when that fails, one file at
# a time, so that each file that fails is named once and a file that
# clang-format cannot read counts as unformatted rather than passing.
git ls-files -z -- '*.cc' '*.h' |
	xargs -0 -r "$cf" --dry-run -Werror --style=file >/dev/null 2>&1 && exit 0
unformatted() {
	git -c core.quotepath=off ls-files -- '*.cc' '*.h' | while IFS= read -r f
	do
		"$cf" --dry-run -Werror --style=file "$f" >/dev/null 2>&1 ||
			printf '%s\n' "$f"
	done
}
bad=$(unformatted)
if [ -z "$bad" ]; then
	echo "format.sh: $cf failed on the files together, on none alone" >&2
	exit 1
fi
printf '%s\n' "$bad"
echo "format.sh: not formatted; tools/format.sh rewrites them" >&2
exit 1
