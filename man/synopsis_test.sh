#!/bin/sh
# Checks that a manual page describes the command line its program accepts:
# the SYNOPSIS, as mandoc renders it, must be the program's usage text, and
# the usage line quoted under DIAGNOSTICS must be that text byte for byte.
# A usage of several forms prints each further one on a line of its own,
# indented, and the page quotes it in an item right below the usage line's.
#
#   synopsis_test.sh program page [status]
#
# status is what a usage error exits with: 1 unless given.
# Exit status 0 when both agree, 1 when not, 77 (skipped) without mandoc.
prog=$1
page=$2
want=${3-1}
name=$(basename "$prog")

if ! command -v mandoc >/dev/null 2>&1; then
	echo "mandoc is not installed; skipping $name" >&2
	exit 77
fi

fail=0

# An option no program has: each answers with getopt's complaint, then its
# usage line, and its status.
err=$("$prog" -Z 2>&1 >/dev/null)
status=$?
if [ "$status" -ne "$want" ]; then
	echo "$name -Z: exit status $status, want $want" >&2
	fail=1
fi
# The usage line and its indented continuations, their indent removed.
lines=$(printf '%s\n' "$err" | awk '
	/^usage: / { on = 1; print; next }
	on && /^[ \t]/ { sub(/^[ \t]+/, ""); print; next }
	{ on = 0 }')
usage=$(printf '%s\n' "$lines" | sed 's/^usage: //' | tr '\n' ' ' |
	sed 's/ $//')
if [ -z "$usage" ]; then
	echo "$name -Z: no usage line in: $err" >&2
	exit 1
fi

# The rendered SYNOPSIS on one line: overstrike removed, blanks squeezed.
bs=$(printf '\b')
synopsis=$(mandoc -Tascii -O width=1000 "$page" |
	sed "s/.$bs//g" |
	awk '/^SYNOPSIS/ { on = 1; next } /^[A-Z]/ { on = 0 } on' |
	tr -s ' \t\n' '   ' | sed 's/^ //; s/ $//')
if [ "$synopsis" != "$usage" ]; then
	echo "$page: SYNOPSIS does not match the usage text of $name" >&2
	echo "  page:    $synopsis" >&2
	echo "  program: $usage" >&2
	fail=1
fi

quoted=$(awk '
	/^\.It Li "usage: .*"$/ { on = 1 }
	on && /^\.It Li ".*"$/ {
		sub(/^\.It Li "/, ""); sub(/"$/, ""); print; next
	}
	{ on = 0 }' "$page")
if [ "$quoted" != "$lines" ]; then
	echo "$page: DIAGNOSTICS quotes \"$quoted\"," \
	    "the program prints \"$lines\"" >&2
	fail=1
fi

[ "$fail" -eq 0 ] && echo "$name: SYNOPSIS matches: $usage"
exit "$fail"
