#!/bin/sh
# Checks that the Makefile's targets expand to whole shell commands: what
# `make -n` prints for each target that configures a build must parse as
# shell, and the configure line of fuzz-build must hand cmake every flag
# whole. A comma written in the arguments of $(call configure,...) ends an
# argument there, cutting a quoted flag in two.
#
#   makefile_test.sh SRC
#
# Needs make only (not clang: nothing is built or run).
set -u
src=$1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail=0

# Not the jobserver of a make that runs this test.
unset MAKEFLAGS MFLAGS MAKELEVEL

for target in all check bench fuzz-build; do
	if ! make -s -n -C "$src" "$target" >"$work/$target.sh" 2>"$work/err"; then
		echo "make -n $target failed:" >&2
		cat "$work/err" >&2
		fail=1
		continue
	fi
	if ! sh -n "$work/$target.sh" 2>"$work/err"; then
		echo "make -n $target prints commands that do not parse:" >&2
		cat "$work/err" "$work/$target.sh" >&2
		fail=1
	fi
done

# The configure line of fuzz-build, run with cmake replaced by a function
# that writes each argument it is given on a line of its own.
line=$(make -s -n -C "$src" fuzz-build CMAKE=kav_cmake 2>/dev/null |
    grep -e '-B build-fuzz')
if [ -z "$line" ]; then
	echo "make -n fuzz-build has no line configuring build-fuzz" >&2
	exit 1
fi
kav_cmake() {
	printf '%s\n' "$@" >"$work/args"
}
(cd "$work" && eval "$line") || {
	echo "the configure line of fuzz-build fails: $line" >&2
	exit 1
}
while read -r want; do
	grep -qxF -e "$want" "$work/args" || {
		echo "fuzz-build does not hand cmake the argument: $want" >&2
		fail=1
	}
done <<'ARGS'
-DCMAKE_CXX_FLAGS=-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined
-DKAV_FUZZ=ON
ARGS
if [ "$fail" -ne 0 ]; then
	echo "cmake was given:" >&2
	cat "$work/args" >&2
	exit 1
fi
echo "makefile_test: every configure line is whole"
