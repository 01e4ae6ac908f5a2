# shellcheck shell=sh
# step.sh: a set-up step of a shell test that, when it fails, says which
# step it was, so that a test never stops with a bare status. Sourced.
#
#   step WHAT COMMAND [ARG...]
#       runs COMMAND, its standard error kept aside; when it fails, prints
#       "FAIL: WHAT: status N" and what it wrote on standard error, and
#       exits with status 1. Standard input and output are the caller's.

step() {
	step_what=$1
	shift
	step_err=$(mktemp) || { echo "FAIL: $step_what: mktemp" >&2; exit 1; }
	if "$@" 2>"$step_err"; then
		rm -f "$step_err"
		return 0
	else
		step_status=$?
	fi
	printf 'FAIL: %s: status %s\n' "$step_what" "$step_status" >&2
	cat "$step_err" >&2
	rm -f "$step_err"
	exit 1
}
