#!/bin/sh
# End-to-end test of kavnightly on a small tree of its own, and of its
# systemd units.
#
#   kavnightly_test.sh run kavnightly kavbuild kavexplain kavaccept kavlock parent
#       nights in a fresh directory under parent (or under TMPDIR, when
#       another user could change a directory above parent): a watched
#       database directory, baseline, quiet nights, changes, an
#       overlapping run, a failed build, rotation, files another user
#       could swap, signatures; package operations triaged and changes
#       accepted
#   kavnightly_test.sh units srcdir kavnightly
#       systemd-analyze verify on the units as installed (77 without it)
#
# Exit status 0 when every check passes, 1 at the first that does not, 77
# (skipped) when every check tried passes but some could not be tried here:
# the reasons are printed.
set -u
LC_ALL=C
export LC_ALL
src=$(dirname "$0")/..
. "$src/testutil/policy.sh"
. "$src/testutil/step.sh"
. "$src/testutil/safe_dirs.sh"

units() {
	if ! command -v systemd-analyze >/dev/null 2>&1; then
		echo "systemd-analyze is not installed; skipping" >&2
		exit 77
	fi
	stage=$(mktemp -d) || exit 1
	trap 'rm -rf "$stage"' EXIT
	# Laid out as make install does: verify wants ExecStart's program.
	mkdir "$stage/sbin"
	cp "$2" "$stage/sbin/kavnightly"
	sed "s|@SBINDIR@|$stage/sbin|g" "$1/etc/systemd/kavnightly.service" \
	    >"$stage/kavnightly.service"
	cp "$1/etc/systemd/kavnightly.timer" "$stage/"
	# Unknown keys are only warned about; any word about our units fails.
	out=$(systemd-analyze verify --man=no "$stage/kavnightly.service" \
	    "$stage/kavnightly.timer" 2>&1)
	status=$?
	printf '%s\n' "$out"
	if [ "$status" -ne 0 ] || printf '%s\n' "$out" | grep -q kavnightly; then
		echo "FAIL: systemd-analyze verify" >&2
		exit 1
	fi
	echo "kavnightly units verified"
	exit 0
}

# Checks that cannot run here: each is named when it is passed over, and
# the run then ends with status 77 instead of 0.
untried=
not_tried() {
	printf 'not tried: %s\n' "$*" >&2
	untried="$untried
	$*"
}

fail() {
	printf 'FAIL: %s\n' "$*" >&2
	printf -- '--- status %s; stdout:\n' "$st" >&2
	cat "$work/out" >&2
	printf -- '--- stderr:\n' >&2
	cat "$work/err" >&2
	exit 1
}

# One night with configuration $1: status in st, the output in out and err.
night() {
	"$script" -f "$1" >"$work/out" 2>"$work/err"
	st=$?
}

# A night with configuration $1 that must be refused with a message
# matching $2, before anything is built: $3 names the case.
refused() {
	night "$1"
	expect 2 quiet "$3"
	grep -q "^kavnightly: $2" "$work/err" || fail "$3: not refused as $2"
}

# Set-ups through which another user could steer a run as root: each is
# refused, naming the file and what is wrong, before anything is built or
# written in the database directory.
unsafe() {
	conf=$1
	before=$(listing "$db")
	cp "$conf" "$work/gw.conf"
	chmod 664 "$work/gw.conf"
	refused "$work/gw.conf" "$work/gw.conf: mode 664 lets group or others write it" \
	    "group-writable settings"
	chmod 644 "$work/gw.conf"
	ln -s gw.conf "$work/link.conf"
	refused "$work/link.conf" "$work/link.conf: is a symbolic link" "linked settings"

	sed "s|^KAV_DBDIR=.*|KAV_DBDIR=$work/open|" "$conf" >"$work/open.conf"
	mkdir -m 755 "$work/open"
	refused "$work/open.conf" "$work/open: mode 755, want 700" "open database directory"
	[ -z "$(ls -A "$work/open")" ] || fail "open database directory: written in"
	sed "s|^KAV_DBDIR=.*|KAV_DBDIR=$work/dblink|" "$conf" >"$work/dblink.conf"
	ln -s db "$work/dblink"
	refused "$work/dblink.conf" "$work/dblink: the database directory is a symbolic link" \
	    "linked database directory"
	ln -s "$work/elsewhere" "$db/report"
	refused "$conf" "$db/report: a symbolic link" "link planted in the database directory"
	[ ! -e "$work/elsewhere" ] || fail "planted link: followed"
	rm "$db/report"

	# The settings are read, never run: a line of shell code is refused
	# and runs nothing.
	for line in "KAV_KEEP=\$(touch $work/ran)" "KAV_KEEP=\`touch $work/ran\`" \
	    "touch $work/ran" "KAV_KEEP=2; touch $work/ran"; do
		{ cat "$conf"; printf '%s\n' "$line"; } >"$work/code.conf"
		refused "$work/code.conf" "$work/code.conf:8: " "settings line: $line"
		[ ! -e "$work/ran" ] || fail "settings line: $line: it ran"
	done

	# The policy and the programs are trusted as the settings are.
	cp "$work/policy" "$work/gw.policy"
	chmod 664 "$work/gw.policy"
	sed "s|^KAV_POLICY=.*|KAV_POLICY=$work/gw.policy|" "$conf" >"$work/gwp.conf"
	refused "$work/gwp.conf" "$work/gw.policy: mode 664 lets group or others write it" \
	    "group-writable policy"
	chmod 775 "$work/bin/kavbuild"
	refused "$conf" "$work/bin/kavbuild: mode 775 lets group or others write it" \
	    "group-writable program"
	chmod 755 "$work/bin/kavbuild"
	[ "$(listing "$db")" = "$before" ] || fail "unsafe set-ups: written in $db"

	# Owned by another user: only root can make such files here.
	if [ "$(id -u)" -ne 0 ]; then
		not_tried "files and directories of another user (not root)"
		return 0
	fi
	chown 65534 "$work/gw.conf"
	refused "$work/gw.conf" "$work/gw.conf: owned by uid 65534, not by root" \
	    "settings of another user"
	chmod 700 "$work/open"
	chown 65534 "$work/open"
	refused "$work/open.conf" "$work/open: owned by uid 65534, not by root" \
	    "database directory of another user"
	chown 65534 "$work/gw.policy"
	chmod 644 "$work/gw.policy"
	refused "$work/gwp.conf" "$work/gw.policy: owned by uid 65534, not by root" \
	    "policy of another user"
	# Settings of root's own in a directory another user may write: that
	# user could swap names under the run (renameat2 RENAME_EXCHANGE).
	mkdir -m 755 "$work/theirs"
	cp "$conf" "$work/theirs/kavnightly.conf"
	chown 65534 "$work/theirs"
	refused "$work/theirs/kavnightly.conf" "$work/theirs: a directory above the configuration, .* is owned by uid 65534" \
	    "settings in a directory of another user"

	# A database directory the run may not write, as under the systemd
	# unit when its ReadWritePaths= does not name it: said before the walk.
	mkdir -m 700 "$work/ro"
	sed "s|^KAV_DBDIR=.*|KAV_DBDIR=$work/ro|" "$conf" >"$work/ro.conf"
	if ! unshare -m true 2>/dev/null; then
		not_tried "a read-only database directory (no mount namespace here)"
		return 0
	fi
	# shellcheck disable=SC2016 # the inner shell expands its arguments
	unshare -m sh -c 'mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" &&
	    exec "$2" -f "$3"' sh "$work/ro" "$script" "$work/ro.conf" \
	    >"$work/out" 2>"$work/err"
	st=$?
	expect 2 quiet "read-only database directory"
	grep -q "^kavnightly: $work/ro: read-only to this run; under kavnightly.service" \
	    "$work/err" || fail "read-only database directory: not said"
}

# Policies under which the walk records or enters the database directory
# (here listed before the rule that prunes it): each night would report
# the snapshots of the last, so each is refused before anything is built.
watched() {
	mkdir -m 700 "$db"
	for rule in '+F' '+F:S' '+N'; do
		sed "s|^@NO:$work\$|&\\n$rule\\nname:db|" "$work/policy" \
		    >"$work/watched.policy"
		sed "s|^KAV_POLICY=.*|KAV_POLICY=$work/watched.policy|" "$1" \
		    >"$work/watched.conf"
		refused "$work/watched.conf" "$db: .*watches the database directory.*name:db" \
		    "database directory under $rule"
		[ -z "$(ls -A "$db")" ] || fail "database directory under $rule: written in"
	done
	rmdir "$db"
}

# Checks the status of the last night and whether its report is empty.
expect() {
	[ "$st" -eq "$1" ] || fail "$3: status $st, want $1"
	case $2 in
	quiet) [ ! -s "$work/out" ] || fail "$3: a report on a quiet night" ;;
	report) [ -s "$work/out" ] || fail "$3: no report" ;;
	esac
}

# The database directory $1 as "number[.sig]" words, lock and temporary
# files included, so that anything left behind shows.
listing() {
	for f in "$1"/.[!.]* "$1"/..?* "$1"/*; do
		[ -e "$f" ] || [ -L "$f" ] || continue  # a pattern that matched nothing
		printf '%s ' "${f##*/}"
	done | sed 's/kavdb-\([0-9]*\)-[0-9TZ]*/\1/g'
}

# Changes byte 100 of file $1.
flip_byte() {
	b=$(od -An -tu1 -j100 -N1 "$1" | tr -d ' ')
	printf '%b' "\\0$(printf '%03o' $(((b + 1) % 256)))" |
	    dd of="$1" bs=1 seek=100 conv=notrunc 2>/dev/null
}

run() {
	script=$1
	parent=$6
	safe_dirs "$parent" || parent=${TMPDIR:-/tmp}
	work=$(mktemp -d "$parent/kavnightly.XXXXXX") || exit 1
	trap 'rm -rf "$work"' EXIT
	work=$(cd "$work" && pwd -P)
	top=$work/tree
	db=$work/db
	mkdir "$top" "$top/etc" "$top/bin" "$work/bin"
	# Copies, not links: a program the job runs must be a file of its own.
	cp "$2" "$3" "$4" "$5" "$work/bin/" || exit 1
	echo 'port=80' >"$top/etc/app.conf"
	printf '#!/bin/sh\necho hello\n' >"$top/bin/tool"
	: >"$work/out"
	: >"$work/err"
	st=0

	tree_policy "$top" >"$work/policy"
	cat >"$work/plain.conf" <<-EOF
	KAV_POLICY=$work/policy
	KAV_DBDIR=$db
	KAV_KEEP=2
	KAV_LOCKWAIT=0
	KAV_BINDIR=$work/bin
	KAV_EXPLAIN=no
	KAV_FETCH=no
	EOF

	"$script" -Z >"$work/out" 2>"$work/err"
	st=$?
	grep -qx 'usage: kavnightly \[-s\] \[-f file\]' "$work/err" ||
	    fail "-Z: no usage line"
	expect 2 quiet "-Z"

	watched "$work/plain.conf"
	night "$work/plain.conf"
	expect 0 report "first night"
	grep -q "^New baseline: $db/kavdb-000000-" "$work/out" ||
	    fail "first night: the baseline is not named"

	night "$work/plain.conf"
	expect 0 quiet "quiet night"
	night "$work/plain.conf"
	expect 0 quiet "second quiet night"

	echo 'port=8080' >"$top/etc/app.conf"
	night "$work/plain.conf"
	expect 1 report "changed file"
	[ "$(grep -c "^C ilugmsftc $top/etc/app.conf\$" "$work/out")" -eq 2 ] ||
	    fail "changed file: not reported against the previous and the baseline"
	grep -q "^Changes since the previous snapshot, $db/kavdb-000002-" \
	    "$work/out" || fail "changed file: no heading for the previous"

	# Quiet since the previous night, changed since the baseline; one
	# snapshot too many, so the oldest after the baseline goes.
	night "$work/plain.conf"
	expect 1 report "night after the change"
	grep -q "^Changes since the previous" "$work/out" &&
	    fail "night after the change: a change since the previous night"
	grep -q "^C ilugmsftc $top/etc/app.conf\$" "$work/out" ||
	    fail "night after the change: the baseline's change is not reported"
	want="000000 000003 000004 lock "
	[ "$(listing "$db")" = "$want" ] ||
	    fail "rotation keeps $(listing "$db"), want $want"

	exec 8>>"$db/lock"
	flock 8
	"$script" -f "$work/plain.conf" >"$work/out" 2>"$work/err" 8>&-
	st=$?
	exec 8>&-
	expect 2 quiet "overlapping run"
	grep -q 'lock: another run still holds it' "$work/err" ||
	    fail "overlapping run: no word about the lock"
	[ "$(listing "$db")" = "$want" ] ||
	    fail "overlapping run left $(listing "$db"), want $want"

	# A path longer than kavbuild can record fails the walk half way,
	# after the database has been created.
	long=$top/long
	for i in 1 2 3 4 5; do
		long=$long/$(printf '%0200d' "$i")
	done
	mkdir -p "$long"
	night "$work/plain.conf"
	expect 2 quiet "failed build"
	grep -q '^lstat(): .*File name too long' "$work/err" ||
	    fail "failed build: not the failure planted"
	[ "$(listing "$db")" = "$want" ] ||
	    fail "failed build left $(listing "$db"), want $want"
	rm -rf "$top/long"

	unsafe "$work/plain.conf"
	blind "$work/plain.conf"
	sign "$work/plain.conf"
	triage
	if [ -n "$untried" ]; then
		echo "kavnightly: every night tried as expected; skipped:$untried"
		exit 77
	fi
	echo "kavnightly: every night as expected"
	exit 0
}

# A triage that stops never hides the changes: with the package records
# kept beside the baseline damaged, the engine cannot read them, and the
# night lists the change as kavcmp does and ends with status 2. (A triage
# whose index does not verify is one of the package nights below.)
blind() {
	db=$work/blind
	mkdir -p "$work/stubroot/var/lib/dpkg"
	: >"$work/stubroot/var/lib/dpkg/status"
	sed -e "s|^KAV_DBDIR=.*|KAV_DBDIR=$db|" \
	    -e "s|^KAV_EXPLAIN=.*|KAV_EXPLAIN=yes|" "$1" >"$work/blind.conf"
	echo "KAV_PKGROOT=$work/stubroot" >>"$work/blind.conf"
	sed 's/^KAV_FETCH=.*/KAV_FETCH=maybe/' "$work/blind.conf" >"$work/fetch.conf"
	refused "$work/fetch.conf" "KAV_FETCH=maybe: want yes or no" "KAV_FETCH=maybe"
	night "$work/blind.conf"
	expect 0 report "blind: first night"
	base=$(ls "$db"/kavdb-000000-*Z)
	[ -f "$base.pkg" ] || fail "blind: no package records kept"
	echo 'not package records' >"$base.pkg"
	echo 'port=2' >"$top/etc/app.conf"
	night "$work/blind.conf"
	expect 2 report "blind: a triage that stopped"
	grep -q '^The triage failed: kavexplain stopped with status 2 and no report' \
	    "$work/out" || fail "blind: the failed triage is not said"
	grep -q "^C ilugmsftc $top/etc/app.conf\$" "$work/out" ||
	    fail "blind: kavcmp's list is not in the report"
	grep -q "^kavnightly: .*$base.pkg" "$work/err" ||
	    fail "blind: the damaged records are not named"
	listing "$db" | grep -q report && fail "blind: a report left behind"
	echo 'port=8080' >"$top/etc/app.conf"
}

# The same nights with a signing key, in a database directory of their own.
sign() {
	db=$work/signed
	ssh-keygen -q -t ed25519 -N '' -C kavtest -f "$work/key" ||
	    fail "ssh-keygen cannot make a key"
	printf 'kavtest namespaces="kavrel-snapshot@kavrel" %s\n' \
	    "$(cat "$work/key.pub")" >"$work/signers"
	sed "s|^KAV_DBDIR=.*|KAV_DBDIR=$db|" "$1" >"$work/signed.conf"
	cat >>"$work/signed.conf" <<-EOF
	KAV_SIGNKEY=$work/key
	KAV_SIGNERS=$work/signers
	EOF
	night "$work/signed.conf"
	expect 0 report "signed: first night"
	night "$work/signed.conf"
	expect 0 quiet "signed: quiet night"
	want="000000 000000.sig 000001 000001.sig lock "
	[ "$(listing "$db")" = "$want" ] ||
	    fail "signed: $(listing "$db"), want $want"

	sed "s|^KAV_SIGNKEY=.*|KAV_SIGNKEY=$work/nokey|" "$work/signed.conf" \
	    >"$work/nokey.conf"
	night "$work/nokey.conf"
	expect 2 quiet "signed: no key"
	[ "$(listing "$db")" = "$want" ] ||
	    fail "signed: unsigned snapshot kept: $(listing "$db"), want $want"

	prev=$(ls "$db"/kavdb-000001-*Z)
	cp "$prev" "$work/saved"
	flip_byte "$prev"
	cmp -s "$prev" "$work/saved" && fail "signed: the byte did not change"
	night "$work/signed.conf"
	expect 2 quiet "signed: altered previous snapshot"
	grep -q "^kavnightly: $prev: BAD SIGNATURE" "$work/err" ||
	    fail "signed: the altered snapshot is not named"
	# Checked before the build: no new snapshot, and no walk's time spent.
	[ "$(listing "$db")" = "$want" ] ||
	    fail "signed: built despite a bad signature: $(listing "$db"), want $want"

	chmod 664 "$work/signers"
	refused "$work/signed.conf" "$work/signers: mode 664 lets group or others write it" \
	    "signed: group-writable allowed signers"
	chmod 644 "$work/signers"
	cp "$work/saved" "$prev"

	base=$(ls "$db"/kavdb-000000-*Z)
	rm "$base.sig"
	night "$work/signed.conf"
	expect 2 quiet "signed: baseline without its signature"
	grep -q "^kavnightly: $base: NO SIGNATURE" "$work/err" ||
	    fail "signed: the unsigned baseline is not named"
}

# Installs the archives given as apt does: downloaded into apt's cache,
# handed to apt's hook as its protocol does (the file names on standard
# input, one a line), installed by dpkg, then deleted from apt's cache.
apt_install() {
	mkdir -p "$proot/var/cache/apt/archives"
	for deb do
		cp "$deb" "$proot/var/cache/apt/archives/"
		printf '%s\n' "$proot/var/cache/apt/archives/${deb##*/}"
	done | sh "$src/apthook/keep-archives.sh" -r "$proot" ||
	    fail "apt's hook failed"
	for deb do
		set -- "$@" "$proot/var/cache/apt/archives/${deb##*/}"
		shift
	done
	dpkg_root -i "$@"
	rm -f "$@"
}

# A repository of the packages signed with a throwaway key, as apt keeps
# its lists under the root, and the key trusted there.
signed_lists() {
	# The key's home is short: gpg-agent's socket must fit in about 100
	# bytes, which a build tree deep in a checkout does not.
	GNUPGHOME=$(mktemp -d /tmp/kavgpg.XXXXXX) || fail "mktemp"
	export GNUPGHOME
	trap 'gpgconf --kill all 2>/dev/null; rm -rf "$work" "$GNUPGHOME"' EXIT
	step "make the signing key" gpg --batch --quiet --passphrase '' \
	    --quick-gen-key 'kavnightly test' ed25519 sign never
	mkdir -p "$proot/etc/apt/trusted.gpg.d" "$proot/var/lib/apt/lists"
	step "export the signing key" gpg --batch --export \
	    >"$proot/etc/apt/trusted.gpg.d/test.gpg"
	debs_sign "$work/debs"
	cp "$work/debs/InRelease" "$proot/var/lib/apt/lists/test_InRelease"
	cp "$work/debs/Packages" "$proot/var/lib/apt/lists/test_Packages"
	apt_root
}

# apt itself configured to the root alone (APT_CONFIG, which the nights
# pass on to apt-get): the repository as a file: source, its lists read
# by apt-get update. Without apt-get, APT_CONFIG stays unset.
apt_root() {
	command -v apt-get >/dev/null 2>&1 || return 0
	mkdir -p "$proot/etc/apt/apt.conf.d" "$proot/etc/apt/preferences.d" \
	    "$proot/var/lib/apt/lists/partial" \
	    "$proot/var/cache/apt/archives/partial"
	echo "deb file:$work/debs ./" >"$proot/etc/apt/sources.list"
	printf 'Dir "%s/";\nDebug::NoLocking "true";\n' "$proot" \
	    >"$proot/etc/apt/apt.conf"
	APT_CONFIG=$proot/etc/apt/apt.conf
	export APT_CONFIG
	step "apt-get update under the root" apt-get -q update >/dev/null
}

# Package operations, a replaced program and acceptances, on tiny packages
# installed under a root of their own as apt installs them, from a
# repository whose signed lists apt keeps there, with signing: the
# comparisons go through kavexplain, every package operation is verified
# by the archives that apt's hook kept, and the baseline moves only as far
# as accepted.
triage() {
	for tool in dpkg dpkg-deb python3 dpkg-scanpackages apt-ftparchive gpg gpgv; do
		command -v "$tool" >/dev/null 2>&1 && continue
		not_tried "package triage ($tool is not installed)"
		return 0
	done
	root=$work/proot
	proot=$root
	db=$work/triaged
	. "$src/testutil/debs.sh"
	mkpkg p 1.0
	mkdir -p "$pkg/usr/bin" "$pkg/usr/share/p"
	echo 'tool 1.0' >"$pkg/usr/bin/p-tool"
	echo 'data 1.0' >"$pkg/usr/share/p/data"
	mkpkg p 1.1
	mkdir -p "$pkg/usr/bin" "$pkg/usr/share/p"
	echo 'tool 1.1' >"$pkg/usr/bin/p-tool"
	echo 'data 1.1' >"$pkg/usr/share/p/data"
	mkpkg q 1.0
	mkdir -p "$pkg/usr/share/q"
	echo 'file of q' >"$pkg/usr/share/q/file"
	mkpkg r 1.0
	mkdir -p "$pkg/usr/bin"
	printf '#!/bin/sh\necho r\n' >"$pkg/usr/bin/r-prog"
	chmod 755 "$pkg/usr/bin/r-prog"
	mkpkg s 1:2.0
	mkdir -p "$pkg/usr/share/s"
	echo 'file of s' >"$pkg/usr/share/s/file"
	debs_build "$work/debs"
	debs_root
	signed_lists
	mkdir -p "$proot/etc/local" "$proot/opt"
	apt_install "$work/debs/p_1.0_all.deb" "$work/debs/q_1.0_all.deb" \
	    "$work/debs/r_1.0_all.deb"
	for f in "$proot"/var/cache/apt/archives/*.deb; do
		[ ! -e "$f" ] || fail "triage: apt's cache not emptied as apt empties it"
	done

	# kavrel's cache is pruned, as the sample policy prunes /var/cache.
	{
		tree_policy "$proot"
		printf '@NO:%s/var/cache\n+N:S\nname:kavrel\n+F:I\n' "$proot"
	} >"$work/ppolicy"
	sed -e "s|^KAV_DBDIR=.*|KAV_DBDIR=$db|" \
	    -e "s|^KAV_POLICY=.*|KAV_POLICY=$work/ppolicy|" \
	    -e "s|^KAV_EXPLAIN=.*|KAV_EXPLAIN=yes|" -e 's|^KAV_KEEP=.*|KAV_KEEP=3|' \
	    "$work/signed.conf" >"$work/triage.conf"
	echo "KAV_PKGROOT=$proot" >>"$work/triage.conf"
	conf=$work/triage.conf
	night "$conf"
	expect 0 report "triage: first night"
	base=$(ls "$db"/kavdb-000000-*Z)
	{ [ -f "$base.pkg" ] && [ -f "$base.pkg.sig" ]; } ||
	    fail "triage: no signed package records kept with the baseline"

	# A package operation under way holds dpkg's frontend lock: the night
	# waits KAV_LOCKWAIT seconds for it (none here), then gives up before
	# it walks.
	want=$(listing "$db")
	"$work/bin/kavlock" -w 10 "$proot/var/lib/dpkg/lock-frontend" sleep 30 \
	    >/dev/null 2>&1 &
	holder=$!
	i=0
	until "$work/bin/kavlock" "$proot/var/lib/dpkg/lock-frontend" true \
	    2>/dev/null; [ $? -eq 124 ]; do
		i=$((i + 1))
		[ "$i" -lt 100 ] || fail "triage: the lock's holder never took it"
		sleep 0.1
	done
	night "$conf"
	kill "$holder"
	wait "$holder" 2>/dev/null
	expect 2 quiet "triage: a package operation under way"
	grep -q "^kavnightly: $proot/var/lib/dpkg/lock-frontend: a package operation still holds dpkg's lock after 0 s" \
	    "$work/err" || fail "triage: the lock is not named"
	[ "$(listing "$db")" = "$want" ] ||
	    fail "triage: built despite the lock: $(listing "$db"), want $want"

	# An upgrade and a reinstall through apt, and a removal: apt's cache is
	# empty again after, and only the archives apt's hook kept verify them.
	sleep 1
	apt_install "$work/debs/p_1.1_all.deb" "$work/debs/r_1.0_all.deb"
	dpkg_root -r q
	sleep 1
	night "$conf"
	expect 0 report "triage: a night of package operations"
	head -n 1 "$work/out" | grep -q '^Every change is explained' ||
	    fail "triage: package operations not said to be explained first"
	grep -q '^  p 1.0 → 1.1: ' "$work/out" ||
	    fail "triage: the upgrade is not summed up"
	grep -q '^  q 1.0 → none: ' "$work/out" ||
	    fail "triage: the removal is not explained"
	# Each change of the packages verified at the archive level: the
	# archives apt's hook kept were found, and the signed lists vouch
	# for them.
	"$work/bin/kavexplain" -j -r "$proot" -p "$base.pkg" "$base" \
	    "$(ls "$db"/kavdb-000001-*Z)" >"$work/json" 2>"$work/err" ||
	    fail "triage: kavexplain -j of the night"
	for path in /usr/bin/p-tool /usr/share/p/data /usr/bin/r-prog \
	    /usr/share/q/file; do
		grep -qF "\"path\":\"$proot$path\",\"verdict\":\"package\",\"evidence\":\"archive\"" \
		    "$work/json" || fail "triage: $path not verified by its archive"
	done

	cache=$proot/var/cache/kavrel/archives
	want="p_1.0_all.deb p_1.1_all.deb q_1.0_all.deb r_1.0_all.deb"
	[ "$(cd "$cache" && echo *)" = "$want" ] ||
	    fail "triage: the cache after a night holds $(cd "$cache" && echo *), want $want"
	accept explained "the upgrade of p"
	expect 0 report "triage: -a explained"
	# What neither the installed packages nor the baselines' records need
	# goes from the cache (what the first baseline had stays, since its
	# records are still consulted), and nothing but archives ever does.
	cp "$work/debs/q_1.0_all.deb" "$cache/p_0.9_all.deb"
	cp "$work/debs/q_1.0_all.deb" "$cache/t_1_all.deb"
	ln -s "$work/debs/q_1.0_all.deb" "$cache/z_1_all.deb"
	echo notes >"$cache/notes"
	night "$conf"
	expect 0 quiet "triage: the night after -a explained"
	want="notes p_1.0_all.deb p_1.1_all.deb q_1.0_all.deb r_1.0_all.deb z_1_all.deb"
	[ "$(cd "$cache" && echo *)" = "$want" ] ||
	    fail "triage: the pruned cache holds $(cd "$cache" && echo *), want $want"
	[ -f "$work/debs/q_1.0_all.deb" ] || fail "triage: a link's target pruned"

	printf '#!/bin/sh\necho owned\n' >"$proot/usr/bin/r-prog"
	night "$conf"
	expect 1 report "triage: a replaced program"
	first=$(grep -m 1 '^  /' "$work/out")
	case $first in
	"  $proot/usr/bin/r-prog: changed "*"expected the contents of r 1.0"*) ;;
	*) fail "triage: the replaced program is not named first: $first" ;;
	esac
	grep -q "^Changes since the baseline, $db/kavdb-000000-.* (accepted .* by alice, explained):" \
	    "$work/out" || fail "triage: the baseline and its acceptance are not named"

	accept path "rebuilt by hand" "$proot/usr/bin/r-prog"
	expect 0 report "triage: -a path"
	night "$conf"
	expect 0 quiet "triage: the night after -a path"

	echo a >"$proot/etc/local/a"
	echo b >"$proot/etc/local/b"
	echo x >"$proot/opt/x"
	night "$conf"
	expect 1 report "triage: new files"
	accept path "local settings" "$proot/etc/local/"
	expect 0 report "triage: -a of a prefix"
	night "$conf"
	expect 1 report "triage: the night after -a of a prefix"
	grep -q "$proot/etc/local" "$work/out" &&
	    fail "triage: the accepted prefix is reported again"
	grep -q "^  $proot/opt/x: new" "$work/out" ||
	    fail "triage: the file outside the prefix is not reported"
	accept path "typo" "$proot/no/such/file"
	expect 2 quiet "triage: -a of a path no snapshot holds"

	accept all "all of it"
	expect 0 report "triage: -a all"
	for f in "$db"/kavdb-*Z; do
		case ${f##*/} in
		kavdb-000000-*) base=$f ;;
		*) newest=$f ;;
		esac
	done
	cmp -s "$base" "$newest" ||
	    fail "triage: -a all is not the newest snapshot as it stands"
	accept all "again"
	expect 1 quiet "triage: -a all with nothing to accept"
	night "$conf"
	expect 0 quiet "triage: the night after -a all"
	check_log

	cp "$db/accept.log" "$work/log.saved"
	sed -i 's/"user":"alice"/"user":"alics"/' "$db/accept.log"
	night "$conf"
	expect 2 quiet "triage: a tampered acceptance log"
	grep -q "^kavnightly: $db/accept.log: BAD SIGNATURE" "$work/err" ||
	    fail "triage: the tampered acceptance log is not named"
	cp "$work/log.saved" "$db/accept.log"

	fetch

	# apt's lists replaced by an InRelease that does not verify, with the
	# archives at hand: the triage fails, and the night still lists the
	# changes, then ends with status 2.
	# (apt-get update, where it ran, put its own lists in place of ours)
	for f in "$proot"/var/lib/apt/lists/*_InRelease; do
		sed -i 's/^Date: /Date: 1/' "$f"
	done
	echo 'trojan' >"$proot/usr/bin/p-tool"
	night "$conf"
	expect 2 report "triage: an InRelease that does not verify"
	grep -q '^The triage failed' "$work/out" ||
	    fail "triage: the failed triage is not said"
	grep -q "$proot/usr/bin/p-tool" "$work/out" ||
	    fail "triage: the changes are not listed when the triage fails"
	grep -q '_InRelease' "$work/out" "$work/err" ||
	    fail "triage: the InRelease that does not verify is not named"
}

# A package installed where apt's hook did not see it (dpkg alone): its
# archive is nowhere at hand, and with KAV_FETCH=yes the night fetches it
# with apt-get download from the repository, verifies it and explains the
# install. The real apt-get, on a file: source under the root, no network.
fetch() {
	if [ -z "${APT_CONFIG-}" ]; then
		not_tried "fetching a missing archive (apt-get is not installed)"
		return 0
	fi
	sleep 1
	dpkg_root -i "$work/debs/s_1:2.0_all.deb"
	sleep 1
	sed 's/^KAV_FETCH=.*/KAV_FETCH=yes/' "$conf" >"$work/fetch.conf"
	night "$work/fetch.conf"
	expect 0 report "triage: a missing archive fetched"
	head -n 1 "$work/out" | grep -q '^Every change is explained' ||
	    fail "triage: the install whose archive was fetched is not explained"
	cmp -s "$work/debs/s_1:2.0_all.deb" \
	    "$proot/var/cache/kavrel/archives/s_1%3a2.0_all.deb" ||
	    fail "triage: the archive not fetched into the cache"
	# apt-get download wrote nothing of apt's own: no change since.
	night "$conf"
	expect 0 report "triage: the night after a fetch"
	grep -q '^Changes since the previous' "$work/out" &&
	    fail "triage: the fetch changed the root"
}

# kavnightly -a $1 -m $2 [path...] on the triaged host, by alice through sudo.
accept() {
	mode=$1 text=$2
	shift 2
	SUDO_USER=alice "$script" -f "$conf" -a "$mode" -m "$text" "$@" \
	    >"$work/out" 2>"$work/err"
	st=$?
}

# Every acceptance logged: its fields in order, each baseline the next
# one's older, the last the one in force; and what each took.
check_log() {
	python3 - "$db" <<-'PY' || fail "triage: the acceptance log"
	import hashlib, json, sys
	db = sys.argv[1]
	keys = ["time", "user", "mode", "text", "paths", "baseline",
	        "older_sha256", "newer_sha256"]
	lines = [json.loads(l) for l in open(db + "/accept.log")]
	want = [("explained", "the upgrade of p"), ("path", "rebuilt by hand"),
	        ("path", "local settings"), ("all", "all of it")]
	assert [(e["mode"], e["text"]) for e in lines] == want, lines
	for i, e in enumerate(lines):
	    assert list(e) == keys and e["user"] == "alice", e
	    sha = hashlib.sha256(open(db + "/" + e["baseline"], "rb").read())
	    assert sha.hexdigest() == e["newer_sha256"], e
	    if i:
	        assert e["older_sha256"] == lines[i - 1]["newer_sha256"], e
	took = [sorted(p.rsplit("/", 2)[-2] + "/" + p.rsplit("/", 1)[-1]
	               for p in e["paths"] if "/var/" not in p) for e in lines]
	assert "bin/p-tool" in took[0] and "q/file" in took[0], took
	assert took[1] == ["bin/r-prog"], took
	assert took[2] == ["etc/local", "local/a", "local/b"], took
	assert "opt/x" in took[3], took
	PY
}

case ${1-} in
units) units "$2" "$3" ;;
run) run "$2" "$3" "$4" "$5" "$6" "$7" ;;
esac
echo "usage: kavnightly_test.sh run kavnightly kavbuild kavexplain" \
    "kavaccept kavlock parent | units srcdir kavnightly" >&2
exit 1
