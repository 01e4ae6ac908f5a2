#!/bin/sh
# kavnightly: one night's watch. Takes a snapshot with kavbuild under a
# temporary name, signs it when a key is configured, moves it into place,
# compares it with the previous snapshot and with the baseline, and keeps
# the baseline and the newest KAV_KEEP others. The report goes to standard
# output. Exit status: 0 no changes, 1 changes found, 2 error.
# With -s it serves a collector instead (see serve below).
#
#   kavnightly [-s] [-f file]
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
	exit 2
}

die() {
	printf 'kavnightly: %s\n' "$*" >&2
	exit 2
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
	if $1 || [ -e "$2" ] || [ -L "$2" ]; then
		[ -f "$2" ] && [ -r "$2" ] || die "$2: cannot read the configuration"
		check_file_safe "$2" "the configuration"
		# "." searches PATH for a name without a slash.
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
	# expr reads leading zeros as decimal, $(( )) as octal.
	KAV_KEEP=$(expr "$KAV_KEEP" + 0)
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
		[ -x "$KAV_BINDIR/$prog" ] ||
		    die "$KAV_BINDIR/$prog: no such program (see KAV_BINDIR)"
	done
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
	for f in "$KAV_DBDIR/lock" "$KAV_DBDIR/report" "$KAV_DBDIR/partial"; do
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
		seq=$(expr "${seq%%-*}" + 1)
	fi
	printf 'kavdb-%06d-%s\n' "$seq" "$(date -u +%Y%m%dT%H%M%SZ)"
}

# Builds, signs and moves into place the snapshot $1. Until the last step
# it is only "partial", which no run takes for a snapshot and the next one
# removes; the signature is moved first, so a snapshot never stands
# without one.
take_snapshot() {
	"$KAV_BINDIR/kavbuild" -c "$KAV_POLICY" -d "$PARTIAL" ||
	    die "kavbuild failed; no snapshot taken"
	if [ -n "$KAV_SIGNKEY" ]; then
		if ! out=$(ssh-keygen -Y sign -f "$KAV_SIGNKEY" -n "$NAMESPACE" \
		    "$PARTIAL" </dev/null 2>&1); then
			printf '%s\n' "$out" >&2
			die "cannot sign the snapshot with $KAV_SIGNKEY; no snapshot taken"
		fi
		# Written to disk before the names change, lest a crash leave an
		# empty file under a snapshot's name.
		sync "$PARTIAL" "$PARTIAL.sig"
		mv "$PARTIAL.sig" "$KAV_DBDIR/$1.sig" || die "cannot rename $PARTIAL.sig"
		sync_dir
	else
		sync "$PARTIAL"
	fi
	if ! mv "$PARTIAL" "$KAV_DBDIR/$1"; then
		rm -f "$KAV_DBDIR/$1.sig"
		die "cannot rename $PARTIAL"
	fi
	sync_dir
}

# Checks the signature of the older snapshot $1 before it is compared with.
verify() {
	file=$KAV_DBDIR/$1
	[ -f "$file.sig" ] ||
	    die "$file: NO SIGNATURE ($file.sig is missing): the snapshot" \
	        "may have been replaced; nothing compared"
	principal=$KAV_PRINCIPAL
	if [ -z "$principal" ]; then
		principal=$(ssh-keygen -Y find-principals -s "$file.sig" \
		    -f "$KAV_SIGNERS" 2>/dev/null | sed -n 1p)
		[ -n "$principal" ] ||
		    die "$file: BAD SIGNATURE: made by no signer that" \
		        "$KAV_SIGNERS allows; nothing compared"
	fi
	if ! out=$(ssh-keygen -Y verify -f "$KAV_SIGNERS" -I "$principal" \
	    -n "$NAMESPACE" -s "$file.sig" <"$file" 2>&1); then
		printf '%s\n' "$out" >&2
		die "$file: BAD SIGNATURE: the snapshot may have been altered;" \
		    "nothing compared"
	fi
}

# Prints what changed since the older snapshot $1, under a heading naming
# it as $2; sets CHANGED when there is anything.
compare() {
	"$KAV_BINDIR/kavcmp" -x "$KAV_DBDIR/$1" "$KAV_DBDIR/$NEW" >"$REPORT" ||
	    die "kavcmp failed comparing $KAV_DBDIR/$1 with $NEW"
	if [ -s "$REPORT" ]; then
		printf 'Changes since %s, %s:\n' "$2" "$KAV_DBDIR/$1"
		cat "$REPORT"
		CHANGED=1
	fi
}

# Removes all but the newest KAV_KEEP snapshots other than the baseline,
# each with its signature.
rotate() {
	extra=$(($(snapshots | grep -vc "^$BASE_PREFIX") - KAV_KEEP))
	[ "$extra" -gt 0 ] || return 0
	snapshots | grep -v "^$BASE_PREFIX" | head -n "$extra" |
	    while read -r old; do
		rm -f "$KAV_DBDIR/$old" "$KAV_DBDIR/$old.sig"
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
		size=$(wc -c <"$file") && sum=$(sha256sum <"$file") ||
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
	snapshots | grep -Fxq -- "$1" && ! [ -L "$file" ] ||
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

conf=/usr/local/etc/kavnightly.conf
named=false
serving=false
while getopts f:s opt; do
	case $opt in
	f) conf=$OPTARG named=true ;;
	s) serving=true ;;
	*) usage ;;
	esac
done
shift $((OPTIND - 1))
[ $# -eq 0 ] || usage

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
trap 'rm -f "$PARTIAL" "$PARTIAL.sig" "$REPORT"' EXIT
trap 'exit 2' HUP INT TERM
rm -f "$PARTIAL" "$PARTIAL.sig" "$REPORT"

BASE=$(snapshots | grep "^$BASE_PREFIX" | head -n 1)
PREV=$(snapshots | tail -n 1)
if [ -n "$PREV" ] && [ -z "$BASE" ]; then
	die "$KAV_DBDIR: the baseline ${BASE_PREFIX}* is missing;" \
	    "see kavnightly(8) to take a new one"
fi
# A bad signature is found before it costs a night's walk.
if [ -n "$PREV" ] && [ -n "$KAV_SIGNKEY" ]; then
	verify "$PREV"
	[ "$PREV" = "$BASE" ] || verify "$BASE"
fi
NEW=$(next_name "$PREV")
take_snapshot "$NEW"
if [ -z "$PREV" ]; then
	printf 'New baseline: %s\n' "$KAV_DBDIR/$NEW"
	exit 0
fi

CHANGED=0
[ "$PREV" = "$BASE" ] || compare "$PREV" "the previous snapshot"
compare "$BASE" "the baseline"
rotate
exit "$CHANGED"
