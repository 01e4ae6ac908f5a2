#!/bin/sh
# kavnightly: one night's watch. Takes a snapshot with kavbuild under a
# temporary name, signs it when a key is configured, moves it into place,
# compares it with the previous snapshot and with the baseline, and keeps
# the baseline and the newest KAV_KEEP others. Where the host has dpkg,
# each comparison goes through kavexplain, the package records of the
# moment are kept with the snapshot, and a night whose changes are all
# explained exits 0. The report goes to standard output. Exit status: 0 no
# changes (or all explained), 1 changes found, 2 error.
# With -s it serves a collector instead (see serve below); with -a it
# accepts changes into a new baseline (see accept below).
#
#   kavnightly [-s] [-f file]
#   kavnightly [-f file] -a all|explained|path -m text [path ...]
set -u

# The programs come from KAV_BINDIR; every other command from a fixed
# path, whatever the caller's. Snapshot names sort byte by byte.
PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
LC_ALL=C
export PATH LC_ALL

NAMESPACE=kavrel-snapshot@kavrel
BASE_PREFIX=kavdb-000000-

usage() {
	echo 'usage: kavnightly [-s] [-f file]' >&2
	echo '       kavnightly [-f file] -a all|explained|path -m text [path ...]' >&2
	exit 2
}

die() {
	printf 'kavnightly: %s\n' "$*" >&2
	exit 2
}

# The number the decimal digits $1 give, leading zeros and all, which
# $(( )) would read as octal.
decimal() {
	set -- "${1#"${1%%[!0]*}"}"
	echo "$((${1:-0}))"
}

# Settings come from the configuration file alone, never from the caller's
# environment: every one is set here before the file is read.
load_config() {
	KAV_POLICY=/usr/local/etc/kavrel.conf
	KAV_DBDIR=/var/lib/kavrel
	KAV_KEEP=30
	KAV_LOCKWAIT=60
	KAV_SIGNKEY=
	KAV_SIGNERS=
	KAV_PRINCIPAL=
	KAV_BINDIR=
	KAV_EXPLAIN=auto
	KAV_PKGROOT=
	KAV_ARCHIVES=
	KAV_FETCH=yes
	if $1 || [ -e "$2" ] || [ -L "$2" ]; then
		{ [ -f "$2" ] && [ -r "$2" ]; } || die "$2: cannot read the configuration"
		check_file_safe "$2" "the configuration"
		# "." searches PATH for a name without a slash.
		# shellcheck source=/dev/null # a file named at run time
		case $2 in
		*/*) . "$2" ;;
		*) . "./$2" ;;
		esac
	fi
	if [ -z "$KAV_BINDIR" ]; then
		KAV_BINDIR=$(cd "$(dirname "$0")" && pwd -P) ||
		    die "cannot find the directory kavnightly is in"
	fi
}

check_config() {
	case $KAV_KEEP in
	'' | *[!0-9]*) die "KAV_KEEP=$KAV_KEEP: want a number of snapshots" ;;
	esac
	KAV_KEEP=$(decimal "$KAV_KEEP")
	[ "$KAV_KEEP" -ge 1 ] || die "KAV_KEEP=0: want at least one snapshot"
	case $KAV_LOCKWAIT in
	'' | *[!0-9]*) die "KAV_LOCKWAIT=$KAV_LOCKWAIT: want a number of seconds" ;;
	esac
	# Half a signing set-up must not pass for a whole one.
	if [ -n "$KAV_SIGNKEY" ] && [ -z "$KAV_SIGNERS" ]; then
		die "KAV_SIGNKEY is set but KAV_SIGNERS is not: signatures could not be checked"
	fi
	if [ -z "$KAV_SIGNKEY" ] && [ -n "$KAV_SIGNERS" ]; then
		die "KAV_SIGNERS is set but KAV_SIGNKEY is not: snapshots would not be signed"
	fi
	if [ -n "$KAV_SIGNERS" ] && ! [ -r "$KAV_SIGNERS" ]; then
		die "$KAV_SIGNERS: cannot read the allowed signers"
	fi
	[ -z "$KAV_SIGNERS" ] || check_file_safe "$KAV_SIGNERS" "the allowed signers"
	for prog in kavbuild kavcmp kavreach; do
		need_program "$prog"
	done
	check_explain
}

need_program() {
	[ -x "$KAV_BINDIR/$1" ] ||
	    die "$KAV_BINDIR/$1: no such program (see KAV_BINDIR)"
}

# Whether the comparisons go through kavexplain: EXPLAIN is true or false.
# Automatic means wherever the package manager's root has dpkg's records.
check_explain() {
	case $KAV_PKGROOT in
	'' | /*) ;;
	*) die "KAV_PKGROOT=$KAV_PKGROOT: want an absolute path" ;;
	esac
	case $KAV_ARCHIVES in
	'' | /*) ;;
	*) die "KAV_ARCHIVES=$KAV_ARCHIVES: want an absolute path" ;;
	esac
	case $KAV_FETCH in
	yes | no) ;;
	*) die "KAV_FETCH=$KAV_FETCH: want yes or no" ;;
	esac
	status=${KAV_PKGROOT%/}/var/lib/dpkg/status
	case $KAV_EXPLAIN in
	no) EXPLAIN=false ;;
	auto) if [ -f "$status" ]; then EXPLAIN=true; else EXPLAIN=false; fi ;;
	yes) [ -f "$status" ] ||
	    die "KAV_EXPLAIN=yes, but $status is missing: no package database"
	    EXPLAIN=true ;;
	*) die "KAV_EXPLAIN=$KAV_EXPLAIN: want auto, yes or no" ;;
	esac
	if $EXPLAIN; then
		need_program kavexplain
		need_program kavlock
	fi
}

# The user whose files may steer this run: root, or the one running it,
# who could change them anyway.
trusted_owner() {
	[ "$1" -eq 0 ] || [ "$1" -eq "$(id -u)" ]
}

# OWNER and MODE (octal) of the file $1.
owner_mode() {
	info=$(stat -c '%u %a' -- "$1") || die "$1: cannot read its status"
	OWNER=${info% *} MODE=${info#* }
}

# The settings file $1 is run as shell code and the allowed signers $2
# decide which snapshots are believed: each must be a regular file that
# only a trusted owner may change. Nothing is read before this holds.
check_file_safe() {
	[ -L "$1" ] && die "$1: is a symbolic link; $2 must be a file of its own"
	owner_mode "$1"
	trusted_owner "$OWNER" ||
	    die "$1: owned by uid $OWNER, not by root; $2 would be trusted from another user"
	case $MODE in
	*[2367]? | *[2367]) die "$1: mode $MODE lets group or others write it; chmod go-w $1" ;;
	esac
}

# The database directory holds what every check is measured against: it
# must be a real directory, owned by a trusted owner, mode 0700, so that
# no one else can replace a snapshot or plant a link in it.
check_dbdir_safe() {
	[ -L "$KAV_DBDIR" ] && die "$KAV_DBDIR: the database directory is a symbolic link"
	[ -d "$KAV_DBDIR" ] || die "$KAV_DBDIR: the database directory is not a directory"
	owner_mode "$KAV_DBDIR"
	trusted_owner "$OWNER" ||
	    die "$KAV_DBDIR: owned by uid $OWNER, not by root; the snapshots could be replaced"
	[ "$MODE" = 700 ] ||
	    die "$KAV_DBDIR: mode $MODE, want 700; chmod 700 $KAV_DBDIR"
	for f in lock report report.unexplained report.explained report.triage partial \
	    partial.sig partial.pkg partial.pkg.sig accept.log accept.log.sig \
	    accept.log.partial accept.log.partial.sig; do
		f=$KAV_DBDIR/$f
		[ -L "$f" ] && die "$f: a symbolic link where a file of kavnightly's own belongs"
	done
	return 0
}

# A walk that records or enters the database directory sees this job's
# own snapshots come and go: no night would ever be quiet. kavreach asks
# the policy itself, by the walk's own rules, about the directory as the
# walk would name it (its physical path).
check_dbdir_unwatched() {
	real=$(cd "$KAV_DBDIR" && pwd -P) ||
	    die "$KAV_DBDIR: cannot find the database directory's own path"
	out=$("$KAV_BINDIR/kavreach" -c "$KAV_POLICY" "$real") ||
	    die "kavreach failed on $KAV_POLICY; nothing built"
	parent=${real%/*}
	case $out in
	*": not recorded, not descended into" | *" is not descended into") ;;
	*) die "$out: the policy $KAV_POLICY watches the database directory," \
	       "so every night would report its own snapshots; prune it:" \
	       "put first in the list of ${parent:-/} an entry '+N:S' with" \
	       "'name:${real##*/}' (see kavnightly(8))" ;;
	esac
}

# Writes the directory's entries to disk after a rename, so that a power
# cut cannot leave a name without its data or lose the new name.
sync_dir() {
	sync "$KAV_DBDIR" || die "$KAV_DBDIR: cannot write the directory to disk"
}

# Holds the lock on descriptor 9 until the script exits, so that two runs
# never work in the database directory at once.
take_lock() {
	command exec 9>>"$KAV_DBDIR/lock" || die "$KAV_DBDIR/lock: cannot open"
	flock -w "$KAV_LOCKWAIT" 9 ||
	    die "$KAV_DBDIR/lock: another run still holds it after" \
	        "$KAV_LOCKWAIT s; giving up"
}

# The snapshots' names, oldest first: the six-digit number after "kavdb-"
# orders them, whatever the clock said when each was taken.
snapshots() {
	for f in "$KAV_DBDIR"/kavdb-[0-9][0-9][0-9][0-9][0-9][0-9]-*Z; do
		if [ -f "$f" ]; then
			printf '%s\n' "${f##*/}"
		fi
	done
}

# The name of the next snapshot after $1 (none: the baseline).
next_name() {
	if [ -z "$1" ]; then
		seq=0
	else
		seq=${1#kavdb-}
		seq=$(($(decimal "${seq%%-*}") + 1))
	fi
	printf 'kavdb-%06d-%s\n' "$seq" "$(date -u +%Y%m%dT%H%M%SZ)"
}

# Signs the file $1 into $1.sig when a key is configured; the signature
# is written to disk with it.
sign_file() {
	[ -n "$KAV_SIGNKEY" ] || return 0
	if ! out=$(ssh-keygen -Y sign -f "$KAV_SIGNKEY" -n "$NAMESPACE" \
	    "$1" </dev/null 2>&1); then
		printf '%s\n' "$out" >&2
		die "cannot sign $1 with $KAV_SIGNKEY; $2"
	fi
	sync "$1.sig"
}

# Moves the file $1 and its companions (signature, package records and
# theirs) into place as $2, the file itself last: until then it is only
# partial, which no run takes for a snapshot and the next one removes, and
# a snapshot never stands without its signature or records.
place() {
	for ext in .sig .pkg.sig .pkg; do
		[ -e "$1$ext" ] || continue
		mv "$1$ext" "$KAV_DBDIR/$2$ext" || die "cannot rename $1$ext"
	done
	sync_dir
	if ! mv "$1" "$KAV_DBDIR/$2"; then
		rm -f "$KAV_DBDIR/$2.sig" "$KAV_DBDIR/$2.pkg" "$KAV_DBDIR/$2.pkg.sig"
		die "cannot rename $1"
	fi
	sync_dir
}

# Runs "$@" where the comparisons are triaged with dpkg's frontend lock
# held, the lock apt and dpkg take for a package operation: so that no
# operation runs in the middle of a walk, which would leave a snapshot
# with half of it. The lock is waited for up to KAV_LOCKWAIT seconds. The
# command's status, or a stop naming the lock, with $1's words.
dpkg_locked() {
	what=$1
	shift
	$EXPLAIN || { "$@"; return; }
	lock=${KAV_PKGROOT%/}/var/lib/dpkg/lock-frontend
	"$KAV_BINDIR/kavlock" -w "$KAV_LOCKWAIT" "$lock" "$@"
	case $? in
	0) ;;
	124) die "$lock: a package operation still holds dpkg's lock after" \
	         "$KAV_LOCKWAIT s (KAV_LOCKWAIT); $what" ;;
	125) die "kavlock cannot take dpkg's lock, $lock; $what" ;;
	*) return 1 ;;
	esac
}

# Builds, signs and moves into place the snapshot $1, with the package
# records of the moment where the comparisons are triaged.
take_snapshot() {
	dpkg_locked "no snapshot taken" \
	    "$KAV_BINDIR/kavbuild" -c "$KAV_POLICY" -d "$PARTIAL" ||
	    die "kavbuild failed; no snapshot taken"
	sync "$PARTIAL"
	sign_file "$PARTIAL" "no snapshot taken"
	if $EXPLAIN; then
		dpkg_locked "no snapshot taken" "$KAV_BINDIR/kavexplain" \
		    ${KAV_PKGROOT:+-r "$KAV_PKGROOT"} -s "$PARTIAL.pkg" ||
		    die "kavexplain cannot keep the package records; no snapshot taken"
		sync "$PARTIAL.pkg"
		sign_file "$PARTIAL.pkg" "no snapshot taken"
	fi
	place "$PARTIAL" "$1"
}

# The principal to check the signature $1 against: KAV_PRINCIPAL, or the
# allowed signer whose key made it; nothing when none did.
principal_of() {
	if [ -n "$KAV_PRINCIPAL" ]; then
		printf '%s\n' "$KAV_PRINCIPAL"
	else
		ssh-keygen -Y find-principals -s "$1" -f "$KAV_SIGNERS" \
		    2>/dev/null | sed -n 1p
	fi
}

# Checks the signature of the file $1 of the database directory, $2 (a
# snapshot, its package records or the acceptance log), before it is used.
verify() {
	file=$KAV_DBDIR/$1
	what=${2:-snapshot}
	[ -f "$file.sig" ] ||
	    die "$file: NO SIGNATURE ($file.sig is missing): the $what" \
	        "may have been replaced; nothing compared"
	principal=$(principal_of "$file.sig")
	[ -n "$principal" ] ||
	    die "$file: BAD SIGNATURE: made by no signer that" \
	        "$KAV_SIGNERS allows; nothing compared"
	if ! out=$(ssh-keygen -Y verify -f "$KAV_SIGNERS" -I "$principal" \
	    -n "$NAMESPACE" -s "$file.sig" <"$file" 2>&1); then
		printf '%s\n' "$out" >&2
		die "$file: BAD SIGNATURE: the $what may have been altered;" \
		    "nothing compared"
	fi
}

# The snapshot $1 and, with a signing key, the package records kept with
# it, checked.
verify_snapshot() {
	[ -z "$KAV_SIGNKEY" ] || verify "$1"
	if [ -e "$KAV_DBDIR/$1.pkg.sig" ] && ! [ -e "$KAV_DBDIR/$1.pkg" ]; then
		die "$KAV_DBDIR/$1.pkg: missing beside its signature: the package" \
		    "records were removed; nothing compared"
	fi
	if [ -n "$KAV_SIGNKEY" ] && [ -e "$KAV_DBDIR/$1.pkg" ]; then
		verify "$1.pkg" "package records"
	fi
	return 0
}

# The names of the package records kept with the snapshot $1, one a line;
# for a baseline, those of the older baselines as well, oldest first, for
# the records it took from them.
kept_records() {
	if [ "${1#"$BASE_PREFIX"}" != "$1" ]; then
		list=$(snapshots | grep "^$BASE_PREFIX" | sed "/^$1\$/q")
	else
		list=$1
	fi
	for name in $list; do
		[ ! -f "$KAV_DBDIR/$name.pkg" ] || printf '%s\n' "$name.pkg"
	done
}

# Runs kavexplain, or with $1 "kavaccept" that, with the options that say
# where the package manager's records are, then the rest of the arguments;
# $2 is the older snapshot, whose kept records are passed, newest first.
with_records() {
	prog=$1 old=$2
	shift 2
	for rec in $(kept_records "$old"); do
		set -- -p "$KAV_DBDIR/$rec" "$@"
	done
	[ "$KAV_FETCH" = no ] || set -- -f "$@"
	"$KAV_BINDIR/$prog" ${KAV_PKGROOT:+-r "$KAV_PKGROOT"} \
	    ${KAV_ARCHIVES:+-a "$KAV_ARCHIVES"} "$@"
}

# Removes from kavrel's cache of archives what no snapshot in force
# needs: every archive of a package version that is neither installed
# now nor held by the records kept with the baseline in force (and the
# older baselines it took records from). A failure is said, and costs
# only disk space.
prune_cache() {
	set --
	for rec in $(kept_records "$BASE"); do
		set -- "$@" -p "$KAV_DBDIR/$rec"
	done
	"$KAV_BINDIR/kavexplain" ${KAV_PKGROOT:+-r "$KAV_PKGROOT"} "$@" -c \
	    >/dev/null ||
	    echo "kavnightly: kavexplain could not prune the cache of package" \
	        "archives; the next night tries again" >&2
}

# Prints what changed since the older snapshot $1, under a heading naming
# it as $2 (and $3 after its name): through kavexplain where the
# comparisons are triaged, and then the sections with something
# unexplained go first. Sets CHANGED when there is anything, UNEXPLAINED
# when something is not explained, and FAILED when the triage failed. A
# failed triage never loses the list of changes: kavexplain's report as
# far as it got, which names first what did not verify, or else kavcmp's
# list, goes with what is unexplained, and the night ends with status 2.
compare() {
	"$KAV_BINDIR/kavcmp" -x "$KAV_DBDIR/$1" "$KAV_DBDIR/$NEW" >"$REPORT" ||
	    die "kavcmp failed comparing $KAV_DBDIR/$1 with $NEW"
	[ -s "$REPORT" ] || return 0
	CHANGED=1
	section=$REPORT.unexplained
	failed=
	if $EXPLAIN; then
		with_records kavexplain "$1" "$KAV_DBDIR/$1" "$KAV_DBDIR/$NEW" \
		    >"$REPORT.triage"
		xst=$?
		case $xst in
		0) section=$REPORT.explained ;;
		1) ;;
		*)
			FAILED=1
			if [ -s "$REPORT.triage" ]; then
				failed="The triage failed (kavexplain's status $xst):"
				failed="$failed what did not verify is named first."
			else
				failed="The triage failed: kavexplain stopped with status"
				failed="$failed $xst and no report; the changes as kavcmp lists them:"
				cp "$REPORT" "$REPORT.triage" || die "$REPORT.triage: cannot write"
			fi
			;;
		esac
		mv "$REPORT.triage" "$REPORT" || die "cannot rename $REPORT.triage"
	fi
	[ "$section" = "$REPORT.explained" ] || UNEXPLAINED=1
	{
		printf 'Changes since %s, %s%s:\n' "$2" "$KAV_DBDIR/$1" "${3-}"
		[ -z "$failed" ] || printf '%s\n' "$failed"
		cat "$REPORT"
	} >>"$section"
}

# The report: what needs a look first.
report() {
	[ "$CHANGED" -eq 1 ] || return 0
	[ "$UNEXPLAINED" -eq 1 ] ||
	    echo 'Every change is explained by the package manager or is a move.'
	for section in "$REPORT.unexplained" "$REPORT.explained"; do
		[ ! -f "$section" ] || cat "$section"
	done
}

# Removes all but the newest KAV_KEEP snapshots other than the baseline,
# each with its signature and package records.
rotate() {
	extra=$(($(snapshots | grep -vc "^$BASE_PREFIX") - KAV_KEEP))
	[ "$extra" -gt 0 ] || return 0
	snapshots | grep -v "^$BASE_PREFIX" | head -n "$extra" |
	    while read -r old; do
		rm -f "$KAV_DBDIR/$old" "$KAV_DBDIR/$old.sig" \
		    "$KAV_DBDIR/$old.pkg" "$KAV_DBDIR/$old.pkg.sig"
	done
}

# Serving a collector (-s, the forced command of its key): the request in
# SSH_ORIGINAL_COMMAND is "list" or "send NAME" and nothing else. Only
# reads: no lock, no build, nothing written. Status 2 for a refusal.
refuse() {
	printf 'kavnightly: refused: %s\n' "$*" >&2
	exit 2
}

# One line per snapshot, oldest first: name, size in bytes, SHA-256.
serve_list() {
	snapshots | while read -r name; do
		file=$KAV_DBDIR/$name
		{ size=$(wc -c <"$file") && sum=$(sha256sum <"$file"); } ||
		    die "$file: cannot read"
		printf '%s %s %s\n' "$name" "$size" "${sum%% *}"
	done
}

# One member of the framed form: "member NAME SIZE", then the bytes. The
# file is opened once, so the size is that of the bytes sent even when a
# run rotates the file away meanwhile.
serve_member() {
	exec 3<"$1" || die "$1: cannot open"
	size=$(stat -L -c %s /dev/fd/3) || die "$1: cannot read its size"
	printf 'member %s %s\n' "${1##*/}" "$size"
	cat <&3 || die "$1: cannot read"
	exec 3<&-
}

# The snapshot NAME, then its signature and package records where it has
# them, framed as kavcollect(8) describes.
serve_send() {
	case $1 in
	'' | *[!0-9A-Za-z-]*) refuse "not a snapshot name" ;;
	esac
	file=$KAV_DBDIR/$1
	{ snapshots | grep -Fxq -- "$1" && ! [ -L "$file" ]; } ||
	    refuse "$1: no such snapshot"
	printf 'kavsend 1\n'
	serve_member "$file"
	for ext in sig pkg; do
		if [ -f "$file.$ext" ] && ! [ -L "$file.$ext" ]; then
			serve_member "$file.$ext"
		fi
	done
	printf 'end\n'
}

serve() {
	case ${SSH_ORIGINAL_COMMAND-} in
	list) serve_list || exit 2 ;;
	'send '*) serve_send "${SSH_ORIGINAL_COMMAND#send }" ;;
	*) refuse "not a request of the collector" ;;
	esac
	exit 0
}

# The acceptance log: one JSON line per acceptance, the last naming the
# baseline in force. Sets BASE to that baseline (without a log, the first
# one) and ACCEPTED to its acceptance in words; the log's signature, and
# the baseline's SHA-256 against the one logged, are checked first.
find_base() {
	BASE=$(snapshots | grep "^$BASE_PREFIX" | head -n 1)
	ACCEPTED=
	if ! [ -e "$LOG" ]; then
		[ ! -e "$LOG.sig" ] ||
		    die "$LOG: missing beside its signature: the acceptance log" \
		        "was removed; nothing compared"
		return 0
	fi
	[ -z "$KAV_SIGNKEY" ] || verify accept.log "acceptance log"
	last=$(tail -n 1 "$LOG")
	found=$(printf '%s\n' "$last" | sed -n 's/.*"baseline":"\('"$BASE_PREFIX"'[0-9]\{8\}T[0-9]\{6\}Z\)","older_sha256":"[0-9a-f]\{64\}","newer_sha256":"\([0-9a-f]\{64\}\)"}$/\1 \2/p')
	[ -n "$found" ] ||
	    die "$LOG: its last line is not an acceptance; nothing compared"
	BASE=${found% *}
	[ -f "$KAV_DBDIR/$BASE" ] ||
	    die "$LOG: the baseline it names, $KAV_DBDIR/$BASE, is missing;" \
	        "nothing compared"
	sum=$(sha256sum <"$KAV_DBDIR/$BASE") || die "$KAV_DBDIR/$BASE: cannot read"
	[ "${sum%% *}" = "${found#* }" ] ||
	    die "$KAV_DBDIR/$BASE: BASELINE ALTERED: its SHA-256 is not the one" \
	        "the acceptance log recorded; nothing compared"
	ACCEPTED=$(printf '%s\n' "$last" | sed -n 's/^{"time":"\([^"\\]*\)","user":"\([^"\\]*\)","mode":"\([a-z]*\)".*/ (accepted \1 by \2, \3)/p')
}

# A run stopped between the two renames of the log leaves its new
# signature beside the old log: the new log is still there as partial,
# and when the signature is its own, its rename is finished.
finish_log() {
	[ -n "$KAV_SIGNKEY" ] && [ -f "$LOG.partial" ] &&
	    ! [ -e "$LOG.partial.sig" ] && [ -f "$LOG.sig" ] || return 0
	principal=$(principal_of "$LOG.sig")
	ssh-keygen -Y verify -f "$KAV_SIGNERS" -I "$principal" -n "$NAMESPACE" \
	    -s "$LOG.sig" <"$LOG.partial" >/dev/null 2>&1 || return 0
	mv "$LOG.partial" "$LOG" || die "cannot rename $LOG.partial"
	sync_dir
}

# Who accepts: the login user behind sudo where there is one.
accepting_user() {
	if [ -n "${SUDO_USER-}" ]; then
		printf '%s\n' "$SUDO_USER"
	else
		logname 2>/dev/null || id -un
	fi
}

# A name for a new baseline: the baselines' number and this second.
baseline_name() {
	while :; do
		name=${BASE_PREFIX}$(date -u +%Y%m%dT%H%M%SZ)
		[ -e "$KAV_DBDIR/$name" ] || break
		sleep 1
	done
	printf '%s\n' "$name"
}

# -a: a new baseline from the one in force and the newest snapshot, made
# by kavaccept, signed, with the newest snapshot's package records, and
# then the log that names it. Until the log names it, the old baseline
# stays in force. Status 0 accepted, 1 nothing to accept.
accept() {
	mode=$1 text=$2
	shift 2
	[ "$mode" != explained ] || $EXPLAIN ||
	    die "-a explained: the changes are not checked against a package" \
	        "manager here (KAV_EXPLAIN)"
	need_program kavaccept
	find_base
	newest=$(snapshots | grep -v "^$BASE_PREFIX" | tail -n 1)
	{ [ -n "$BASE" ] && [ -n "$newest" ]; } ||
	    die "$KAV_DBDIR: no snapshot after the baseline; nothing to accept"
	verify_snapshot "$BASE"
	verify_snapshot "$newest"
	name=$(baseline_name)
	with_records kavaccept "$BASE" -m "$text" -u "$(accepting_user)" \
	    -n "$name" "$mode" "$KAV_DBDIR/$BASE" "$KAV_DBDIR/$newest" \
	    "$PARTIAL" "$@" >"$REPORT"
	case $? in
	0) ;;
	1) exit 1 ;;
	*) die "kavaccept failed; the baseline in force is still $KAV_DBDIR/$BASE" ;;
	esac
	sign_file "$PARTIAL" "the baseline in force is unchanged"
	if [ -f "$KAV_DBDIR/$newest.pkg" ]; then
		{ cp "$KAV_DBDIR/$newest.pkg" "$PARTIAL.pkg" && sync "$PARTIAL.pkg"; } ||
		    die "cannot copy the package records of $newest"
		sign_file "$PARTIAL.pkg" "the baseline in force is unchanged"
	fi
	{ { [ ! -f "$LOG" ] || cat "$LOG"; cat "$REPORT"; } >"$LOG.partial" &&
	    sync "$LOG.partial"; } || die "$LOG.partial: cannot write"
	sign_file "$LOG.partial" "the baseline in force is unchanged"
	place "$PARTIAL" "$name"
	if [ -n "$KAV_SIGNKEY" ]; then
		mv "$LOG.partial.sig" "$LOG.sig" || die "cannot rename $LOG.partial.sig"
	fi
	mv "$LOG.partial" "$LOG" || die "cannot rename $LOG.partial"
	sync_dir
	printf 'New baseline: %s, accepting %s; logged in %s\n' \
	    "$KAV_DBDIR/$name" "$mode" "$LOG"
	exit 0
}

conf=/usr/local/etc/kavnightly.conf
named=false
serving=false
mode=
text=
while getopts a:f:m:s opt; do
	case $opt in
	a) mode=$OPTARG ;;
	f) conf=$OPTARG named=true ;;
	m) text=$OPTARG ;;
	s) serving=true ;;
	*) usage ;;
	esac
done
shift $((OPTIND - 1))
case $mode in
'') { [ $# -eq 0 ] && [ -z "$text" ]; } || usage ;;
all | explained) { [ $# -eq 0 ] && ! $serving; } || usage ;;
path) { [ $# -gt 0 ] && ! $serving; } || usage ;;
*) usage ;;
esac
[ -z "$mode" ] || [ -n "$text" ] || die "-a: say with -m why the changes are accepted"

load_config "$named" "$conf"
if $serving; then
	serve
fi
check_config
umask 077
mkdir -p "$KAV_DBDIR" || die "$KAV_DBDIR: cannot make the database directory"
check_dbdir_safe
check_dbdir_unwatched
take_lock

# From here on this run owns the directory: what a killed run left behind
# goes, and so does whatever this one leaves unfinished.
PARTIAL=$KAV_DBDIR/partial
REPORT=$KAV_DBDIR/report
LOG=$KAV_DBDIR/accept.log
clean() {
	rm -f "$PARTIAL" "$PARTIAL.sig" "$PARTIAL.pkg" "$PARTIAL.pkg.sig" \
	    "$REPORT" "$REPORT.unexplained" "$REPORT.explained" "$REPORT.triage" \
	    "$LOG.partial" "$LOG.partial.sig"
}
trap 'exit 2' HUP INT TERM
finish_log
trap clean EXIT
clean

[ -z "$mode" ] || accept "$mode" "$text" "$@"
find_base
PREV=$(snapshots | tail -n 1)
if [ -n "$PREV" ] && [ -z "$BASE" ]; then
	die "$KAV_DBDIR: the baseline ${BASE_PREFIX}* is missing;" \
	    "see kavnightly(8) to take a new one"
fi
# A bad signature is found before it costs a night's walk.
if [ -n "$PREV" ]; then
	verify_snapshot "$PREV"
	[ "$PREV" = "$BASE" ] || verify_snapshot "$BASE"
fi
NEW=$(next_name "$PREV")
take_snapshot "$NEW"
if [ -z "$PREV" ]; then
	printf 'New baseline: %s\n' "$KAV_DBDIR/$NEW"
	exit 0
fi

CHANGED=0
UNEXPLAINED=0
FAILED=0
[ "$PREV" = "$BASE" ] || compare "$PREV" "the previous snapshot"
compare "$BASE" "the baseline" "$ACCEPTED"
report
rotate
! $EXPLAIN || prune_cache
[ "$FAILED" -eq 0 ] || exit 2
exit "$UNEXPLAINED"
