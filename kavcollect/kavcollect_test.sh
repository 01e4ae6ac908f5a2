#!/bin/sh
# End-to-end test of kavcollect against a real sshd that it starts on
# 127.0.0.1 at a free high port, with host and user keys made here. Three
# hosts are aliases of one ssh configuration; each alias has a key of its
# own whose forced command serves a database directory of its own with
# kavnightly -s. The hosts' snapshots are taken by kavnightly, of one tree.
#
#   kavcollect_test.sh kavcollect kavnightly kavbuild parent
#
# Exit status 0 when every check passes, 1 at the first that does not, 77
# when no sshd can be started here.
set -u
LC_ALL=C
export LC_ALL
collect=$1
script=$2
build=$3
parent=$4
# The hosts are the positional parameters from here on, a word each.
set -- h1 h2 h3
. "$(dirname "$0")/../testutil/step.sh"
. "$(dirname "$0")/../testutil/sshd.sh"
. "$(dirname "$0")/../testutil/policy.sh"
. "$(dirname "$0")/../testutil/safe_dirs.sh"

fail() {
	printf 'FAIL: %s\n' "$*" >&2
	printf -- '--- status %s; stdout:\n' "$st" >&2
	cat "$work/out" >&2
	printf -- '--- stderr:\n' >&2
	cat "$work/err" >&2
	exit 1
}

skip() {
	printf 'skipped: %s\n' "$*" >&2
	exit 77
}

# A night of kavnightly on each host named; any status but 2 will do.
nights() {
	for h in "$@"; do
		tries=0
		while :; do
			"$script" -f "$work/$h.conf" >/dev/null 2>"$work/err"
			s=$?
			tries=$((tries + 1))
			# A foreign entry of an ancestor vanishing mid-walk.
			if [ "$s" -ne 2 ] || [ "$tries" -ge 6 ]; then
				break
			fi
		done
		[ "$s" -ne 2 ] || { st=$s; fail "kavnightly on $h"; }
	done
}

# kavcollect with the test's ssh configuration; status in st.
run() {
	"$collect" -t 60 -F "$work/ssh_config" "$@" >"$work/out" 2>"$work/err"
	st=$?
}

expect() {
	[ "$st" -eq "$1" ] || fail "$2: status $st, want $1"
}

has() {
	grep -q -- "$1" "$work/$2" || fail "$3: no line matching $1 in $2"
}

lacks() {
	! grep -q -- "$1" "$work/$2" || fail "$3: a line matching $1 in $2"
}

# The store's files of host $1 as numbers, companions and bookkeeping.
held() {
	for f in "$store/$1"/.[!.]* "$store/$1"/..?* "$store/$1"/*; do
		[ -e "$f" ] || [ -L "$f" ] || continue  # a pattern that matched nothing
		printf '%s ' "${f##*/}"
	done | sed 's/kavdb-\([0-9]*\)-[0-9TZ]*/\1/g'
}

# kavnightly trusts the hosts' settings only where no other user could
# swap them.
safe_dirs "$parent" || parent=${TMPDIR:-/tmp}
work=$(mktemp -d "$parent/kavcollect.XXXXXX") || exit 1
trap 'sshd_stop; rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
work=$(cd "$work" && pwd -P)
: >"$work/out"
: >"$work/err"
st=0
tree=$work/tree
mkdir "$tree" "$tree/etc" "$work/bin"
# A copy, not a link: a program kavnightly runs must be a file of its own.
cp "$build" "$work/bin/" || exit 1
echo 'port=80' >"$tree/etc/app.conf"
# Enough files that a snapshot is large beside a night's difference.
mkdir "$tree/usr"
i=0
while [ "$i" -lt 500 ]; do
	echo "$i" >"$tree/usr/f$i"
	i=$((i + 1))
done
tree_policy "$tree" >"$work/policy"

# The hosts' forced command: kavnightly -s -f CONF, each request kept in
# CONF.requests and the last answer in CONF.answer. With CONF.old it
# refuses a request for a difference as a kavnightly that does not know
# it does; with CONF.lie it answers one made from a base whose bytes are
# not the collector's: the snapshot asked for, its halves swapped, under
# the base's name in a copy of the database directory, so that what the
# difference takes from the base comes from the wrong half.
printf '#!/bin/sh\nreal=%s\n' "'$script'" >"$work/serve"
cat >>"$work/serve" <<'EOF'
conf=$3
printf '%s\n' "$SSH_ORIGINAL_COMMAND" >>"$conf.requests"
case $SSH_ORIGINAL_COMMAND in
"send "*" since "*)
	if [ -e "$conf.old" ]; then
		echo 'kavnightly: refused: not a snapshot name' >&2
		exit 2
	fi
	if [ -e "$conf.lie" ]; then
		set -f
		# shellcheck disable=SC2086 # send NAME since BASE SHA256
		set -- $SSH_ORIGINAL_COMMAND
		set +f
		db=$(sed -n 's/^KAV_DBDIR=//p' "$conf")
		rm -rf "$db.lie"
		mkdir -m 0700 "$db.lie"
		cp -p "$db"/kavdb-* "$db.lie/"
		half=$(($(wc -c <"$db/$2") / 2))
		{
			tail -c +$((half + 1)) "$db/$2"
			head -c "$half" "$db/$2"
		} >"$db.lie/$4"
		sed "s|^KAV_DBDIR=.*|KAV_DBDIR=$db.lie|" "$conf" >"$conf.liar"
		SSH_ORIGINAL_COMMAND="send $2 since $4 $(sha256sum "$db.lie/$4" |
		    cut -c1-64)"
		export SSH_ORIGINAL_COMMAND
		"$real" -s -f "$conf.liar" >"$conf.answer"
		s=$?
		cat "$conf.answer"
		exit "$s"
	fi
	;;
esac
"$real" -s -f "$conf" >"$conf.answer"
s=$?
cat "$conf.answer"
exit "$s"
EOF
chmod 0755 "$work/serve"

sshd_start
# h4, signing as h3 does, is kept for the rows at the end.
for h in "$@" h4; do
	cat >"$work/$h.conf" <<-EOF
	KAV_POLICY=$work/policy
	KAV_DBDIR=$work/$h.db
	KAV_KEEP=5
	KAV_LOCKWAIT=0
	KAV_BINDIR=$work/bin
	KAV_EXPLAIN=no
	EOF
	real=$script
	script=$work/serve
	sshd_host "$h" "$work/$h.conf"
	script=$real
done
sshd_down down
# h3 and h4 sign their snapshots, and the store checks every one it uses.
step "make the signing key" ssh-keygen -q -t ed25519 -N '' -C kavtest \
    -f "$work/sign_key"
printf 'kavtest namespaces="kavrel-snapshot@kavrel" %s\n' \
    "$(cat "$work/sign_key.pub")" >"$work/signers"
for h in h3 h4; do
	printf 'KAV_SIGNKEY=%s\nKAV_SIGNERS=%s\n' "$work/sign_key" \
	    "$work/signers" >>"$work/$h.conf"
done
mkdir -m 0700 "$work/store" "$work/store/h3" "$work/store/h4"
cp "$work/signers" "$work/store/h3/allowed_signers"
cp "$work/signers" "$work/store/h4/allowed_signers"
store=$work/store

# Requests outside the protocol, straight through ssh.
for req in "rm -rf /" "list x" "send ../h1.conf" "send kavdb-000000-x" \
    "send .."; do
	ssh -F "$work/ssh_config" -n h1 "$req" >"$work/out" 2>"$work/err"
	st=$?
	expect 2 "request \"$req\""
	has 'kavnightly: refused' err "request \"$req\""
	[ ! -s "$work/out" ] || fail "request \"$req\": output"
done

# The first collection: two nights each, everything fetched, nothing compared.
nights "$@"
nights "$@"
run "$store" "$@"
expect 0 "first collection"
for h; do
	has "^$h: first collection: 2 snapshots, baseline kavdb-000000-" out \
	    "first collection"
	want="compared 000000 000001 sums "
	[ "$h" = h3 ] && want="allowed_signers compared 000000 000000.sig \
000001 000001.sig sums "
	[ "$(held "$h")" = "$want" ] ||
	    fail "first collection: $h holds $(held "$h")"
done
[ "$(stat -c %a "$store")" = 700 ] || fail "store mode $(stat -c %a "$store")"
[ -z "$(find "$store" -name 'tmp.*')" ] || fail "temporary files left"

# A quiet night: fetched as a difference from the newest held, rebuilt to
# the very bytes of the host's, compared, nothing printed; the one before
# it is now kept as a difference.
nights "$@"
run "$store" "$@"
expect 0 "quiet night"
[ ! -s "$work/out" ] || fail "quiet night: a report"
[ "$(held h2)" = "compared 000000 000001.from-000002 000002 sums " ] ||
    fail "quiet night: h2 holds $(held h2)"
for h; do
	tail -n 1 "$work/$h.conf.requests" | grep -Eq \
	    '^send kavdb-000002-[0-9TZ]+ since kavdb-000001-[0-9TZ]+ [0-9a-f]{64}$' ||
	    fail "quiet night: $h was asked $(tail -n 1 "$work/$h.conf.requests")"
	sed -n 2p "$work/$h.conf.answer" | grep -q "^delta kavdb-000002-" ||
	    fail "quiet night: $h answered whole"
	f=$(cd "$work/$h.db" && echo kavdb-000002-*Z)
	cmp -s "$work/$h.db/$f" "$store/$h/$f" || fail "quiet night: $h: $f differs"
done

# A change on one host only (the tree is put back for the others).
echo 'port=8080' >"$tree/etc/app.conf"
nights h2
echo 'port=80' >"$tree/etc/app.conf"
nights h1 h3
run -j "$store" "$@"
expect 1 "change on h2"
has "^{\"host\":\"h2\",\"since\":\"baseline\".*\"path\":\"$tree/etc/app.conf\"" \
    out "change on h2"
has "^{\"host\":\"h2\",\"since\":\"previous\".*\"change\":\"changed\"" \
    out "change on h2"
lacks '"host":"h[13]"' out "change on h2"

# The same change on every host: one group in the fleet summary.
echo 'fresh' >"$tree/etc/new.conf"
nights "$@"
run "$store" "$@"
expect 1 "same change everywhere"
for h; do
	has "^Changes on $h in kavdb-000004-.* since the previous snapshot" out \
	    "same change everywhere"
done
has "^$tree/etc/new.conf new identically on 3 hosts: h1, h2, h3\$" out \
    "same change everywhere"
has "^$tree/etc/app.conf changed on 1 host: h2\$" out "same change everywhere"
has "^Fleet: 3 hosts, 3 changed, 0 failed" out "same change everywhere"

# An old snapshot rewritten on h1, h3's directory started again: both
# refused, loudly, and the store keeps what it had; h2 still collected.
nights "$@"
i=0
for f in "$work/h1.db"/*; do
	i=$((i + 1))
	[ "$i" -eq 2 ] && old=${f##*/}
done
cp "$work/h1.db/$old" "$work/h1.old"
printf 'x' >>"$work/h1.db/$old"
mv "$work/h3.db" "$work/h3.db.aside"
nights h3
before=$(held h3)
run "$store" "$@"
expect 2 "rewritten and reset"
has "^kavcollect: h1: HISTORY REWRITTEN: $old on the host differs" err \
    "rewritten history"
has "^kavcollect: h3: HISTORY RESET: the host's baseline is kavdb-000000-" err \
    "reset history"
lacks "h2" err "rewritten and reset"
[ "$(held h3)" = "$before" ] || fail "reset: h3 holds $(held h3), not $before"
has "^Changes on h2 in kavdb-000005-.* since the baseline" out \
    "rewritten and reset"

# One host down: named, the others collected.
mv "$work/h1.old" "$work/h1.db/$old"
rm -rf "$work/h3.db"
mv "$work/h3.db.aside" "$work/h3.db"
nights "$@"
run "$store" h1 down h3
expect 2 "a host down"
has "^kavcollect: down: ssh exited 255: .*onnection refused" err "a host down"
has "^Changes on h1 in kavdb-000006-" out "a host down"
has "^Changes on h3 in kavdb-000006-" out "a host down"
[ "$(grep -c '^kavcollect:' "$work/err")" -eq 1 ] || fail "a host down: errors"

# Signatures: a snapshot altered on h3 after it was signed, and allowed
# signers for h2, whose snapshots have none. Neither takes a name in the
# history: both are set aside, named.
nights "$@"
for f in "$work/h3.db"/kavdb-*Z; do
	new=${f##*/}
done
printf 'x' >>"$work/h3.db/$new"
cp "$work/signers" "$work/store/h2/allowed_signers"
before="$(held h2)/$(held h3)"
run "$store" "$@"
expect 2 "signatures"
has "^kavcollect: h3: $new: SET ASIDE: BAD SIGNATURE" err "signatures"
has "^kavcollect: h2: kavdb-000007-[0-9TZ]*: SET ASIDE: NO SIGNATURE" err \
    "signatures"
[ "$(held h2)/$(held h3)" = \
    "$(echo "$before" | sed 's/allowed_signers /allowed_signers bad /g')" ] ||
    fail "signatures: the store took $(held h2)/$(held h3)"
if [ ! -f "$store/h3/bad/$new" ] || [ ! -f "$store/h3/bad/$new.sig" ]; then
	fail "signatures: $new not kept in bad/"
fi
has "^Changes on h1 in kavdb-000007-" out "signatures"

# No ssh on PATH: the host fails to start, named, and nothing is fetched.
before=$(held h1)
PATH=$work/nothing "$collect" -t 60 -F "$work/ssh_config" "$store" h1 \
    >"$work/out" 2>"$work/err"
st=$?
expect 2 "no ssh"
has "^kavcollect: h1: cannot run ssh\$" err "no ssh"
[ "$(held h1)" = "$before" ] || fail "no ssh: h1 holds $(held h1)"

# The newest snapshot of h$1's database directory, in new.
newest() {
	for f in "$work/$1.db"/kavdb-*Z; do
		new=${f##*/}
	done
}

# A night of h1 after a damaged snapshot: kavnightly cannot compare with
# it and says so, but the night's snapshot is taken.
damaged_night() {
	newest h1
	was=$new
	"$script" -f "$work/h1.conf" >/dev/null 2>&1
	newest h1
	[ "$new" != "$was" ] || { st=0; fail "no night on h1 after $was"; }
}

# A damaged snapshot whose list agrees with its bytes: named and set
# aside; the next night's snapshot is collected and compared with the last
# good one, and the bad one is never fetched again.
nights h1
newest h1
good=$(held h1 | sed 's/.* \([0-9]*\) sums $/\1/')
bad=$new
printf 'x' >>"$work/h1.db/$bad"
run -j "$store" h1
expect 2 "a damaged snapshot"
has "^kavcollect: h1: $bad: SET ASIDE: cannot be loaded: Bad message (frame" \
    err "a damaged snapshot"
has "^{\"host\":\"h1\",\"set_aside\":\"$bad\",\"reason\":\"cannot be" out \
    "a damaged snapshot"
[ "$(grep -c '^kavcollect:' "$work/err")" -eq 1 ] ||
    fail "a damaged snapshot: errors"
if [ ! -f "$store/h1/bad/$bad" ] || [ ! -f "$store/h1/bad/$bad.why" ]; then
	fail "a damaged snapshot: not in bad/"
fi
[ ! -e "$store/h1/$bad" ] || fail "a damaged snapshot: held"
echo 'port=9090' >"$tree/etc/app.conf"
damaged_night
echo 'port=80' >"$tree/etc/app.conf"
run "$store" h1
expect 1 "the night after a damaged snapshot"
has "^Changes on h1 in $new since the previous snapshot, kavdb-$good-" out \
    "the night after a damaged snapshot"
has "^Changes on h1 in $new since the baseline" out \
    "the night after a damaged snapshot"
lacks "$bad" out "the night after a damaged snapshot"
[ ! -s "$work/err" ] || fail "the night after a damaged snapshot: stderr"
run "$store" h1
expect 0 "no night after a damaged snapshot"
if [ -s "$work/out" ] || [ -s "$work/err" ]; then
	fail "no night after a damaged snapshot: output"
fi
[ "$(wc -l <"$store/h1/bad/sums")" -eq 1 ] || fail "bad/sums"

# The snapshot set aside, listed again with other bytes: a rewritten
# history, as for any snapshot the store knows; put back, all is well.
cp "$work/h1.db/$bad" "$work/h1.bad"
printf 'y' >>"$work/h1.db/$bad"
run "$store" h1
expect 2 "a snapshot set aside, rewritten"
has "^kavcollect: h1: HISTORY REWRITTEN: $bad on the host differs" err \
    "a snapshot set aside, rewritten"
cp "$work/h1.bad" "$work/h1.db/$bad"

# What bad/ holds beside its sums is the administrator's to remove.
rm "$store/h1/bad/$bad" "$store/h1/bad/$bad.why"
run "$store" h1
expect 0 "bad/ emptied but for its sums"
if [ -s "$work/out" ] || [ -s "$work/err" ]; then
	fail "bad/ emptied but for its sums: output"
fi
good2=$(echo "$new" | sed 's/kavdb-\([0-9]*\)-.*/\1/')

# A 20 MB signature: refused before it is read, named with its host, and
# the snapshot set aside; nothing of the member is kept.
nights h1
newest h1
dd if=/dev/zero of="$work/h1.db/$new.sig" bs=1024 count=20000 2>/dev/null
chmod 0600 "$work/h1.db/$new.sig"
run "$store" h1
expect 2 "a 20 MB signature"
has "^kavcollect: h1: $new: SET ASIDE: member $new.sig of 20480000 bytes, \
over its bound of 65536; refused\$" err "a 20 MB signature"
if [ ! -f "$store/h1/bad/$new" ] || [ -e "$store/h1/bad/$new.sig" ]; then
	fail "a 20 MB signature: bad/ holds $(ls "$store/h1/bad")"
fi
[ -z "$(find "$store" -name 'tmp.*')" ] || fail "temporary files left"

# A zero byte in a path is damage, never a path printed cut.
nights h1
newest h1
at=$(grep -obUa 'etc/app\.conf' "$work/h1.db/$new" | sed 's/:.*//')
[ -n "$at" ] || { st=0; fail "no etc/app.conf in $new"; }
printf '\000' | dd of="$work/h1.db/$new" bs=1 seek=$((at + 3)) conv=notrunc \
    2>/dev/null
run "$store" h1
expect 2 "a zero byte in a path"
has "^kavcollect: h1: $new: SET ASIDE: cannot be loaded: Bad message" err \
    "a zero byte in a path"
lacks "Changes on h1" out "a zero byte in a path"

# A damaged snapshot that the store already holds, as a collector that
# did not read what it fetched kept it: set aside when a comparison finds
# it, and the comparisons made again without it.
damaged_night
cp "$work/h1.db/$new" "$store/h1/$new"
printf 'x' >>"$work/h1.db/$new"
printf 'x' >>"$store/h1/$new"
chmod 0600 "$store/h1/$new"
bad=$new
damaged_night
run "$store" h1
expect 2 "a damaged snapshot held"
has "^kavcollect: h1: $bad: SET ASIDE: cannot be loaded: Bad message" err \
    "a damaged snapshot held"
has "^Changes on h1 in $new since the previous snapshot, kavdb-$good2-" out \
    "a damaged snapshot held"
if [ ! -f "$store/h1/bad/$bad" ] || [ -e "$store/h1/$bad" ]; then
	fail "a damaged snapshot held: not moved to bad/"
fi
lacks "$bad" store/h1/sums "a damaged snapshot held"

# The bytes of the files of host $1's directory in the store.
store_bytes() {
	find "$store/$1" -type f -exec cat {} + | wc -c
}

# Host $1's newest snapshot in the store, byte for byte the host's.
same_newest() {
	newest "$1"
	cmp -s "$work/$1.db/$new" "$store/$1/$new" ||
	    fail "$2: $1's $new is not the host's"
}

# A signed snapshot as a difference: its signature checked over the bytes
# rebuilt.
nights h4
nights h4
run "$store" h4
expect 0 "h4's first collection"
nights h4
run "$store" h4
[ "$st" -le 1 ] || fail "signed, as a difference: status $st"
sed -n 2p "$work/h4.conf.answer" | grep -q "^delta " ||
    fail "signed, as a difference: whole"
same_newest h4 "signed, as a difference"

# A host whose kavnightly does not know the request for a difference:
# asked again for the whole snapshot, in the same run.
touch "$work/h4.conf.old"
nights h4
newest h4
run "$store" h4
[ "$st" -le 1 ] || fail "an older kavnightly: status $st"
[ "$(tail -n 2 "$work/h4.conf.requests" | cut -d' ' -f1-3)" = \
    "$(printf 'send %s since\nsend %s' "$new" "$new")" ] ||
    fail "an older kavnightly: asked $(tail -n 2 "$work/h4.conf.requests")"
[ ! -s "$work/err" ] || fail "an older kavnightly: stderr"
same_newest h4 "an older kavnightly"
rm "$work/h4.conf.old"

# A difference that does not rebuild to what the host listed: refused,
# the host's fault, nothing of it kept; the next run asks for it whole.
touch "$work/h4.conf.lie"
nights h4
newest h4
before=$(held h4)
run "$store" h4
expect 2 "a wrong difference"
has "^kavcollect: h4: send: $new as a difference from kavdb-[0-9]*-[0-9TZ]* \
\(does not rebuild to the SHA-256 listed\|cannot be rebuilt: .*\); refused\$" \
    err "a wrong difference"
[ "$(held h4)" = "$(echo "$before" | sed 's/ sums / sums whole /')" ] ||
    fail "a wrong difference: h4 holds $(held h4)"
[ "$(cat "$store/h4/whole")" = "$new" ] || fail "a wrong difference: whole"
rm "$work/h4.conf.lie"
run "$store" h4
[ "$st" -le 1 ] || fail "after a wrong difference: status $st"
[ "$(tail -n 1 "$work/h4.conf.requests")" = "send $new" ] ||
    fail "after a wrong difference: asked $(tail -n 1 "$work/h4.conf.requests")"
[ ! -e "$store/h4/whole" ] || fail "after a wrong difference: whole kept"
same_newest h4 "after a wrong difference"

# Three quiet nights grow the host's store by a small part of a snapshot.
newest h1
size=$(wc -c <"$work/h1.db/$new")
before=$(store_bytes h1)
for n in 1 2 3; do
	nights h1
	run "$store" h1
	[ "$st" -le 1 ] || fail "quiet night $n: status $st"
	lacks "since the previous snapshot" out "quiet night $n"
done
after=$(store_bytes h1)
[ $(((after - before) * 100)) -lt $((size * 5)) ] ||
    fail "three quiet nights: the store grew by $((after - before)) bytes, \
snapshots of $size"
same_newest h1 "three quiet nights"

# A store kept whole by an older collector: collected on, its snapshots
# made differences as new ones come: the one fetched before the newest,
# then the oldest but the baseline.
mkdir -m 0700 "$work/store2" "$work/store2/h2"
for f in "$work/h2.db"/kavdb-*Z; do
	[ -z "${last-}" ] || cp "$work/h2.db/$last" "$work/store2/h2/"
	prev=${last-}
	last=${f##*/}
done
echo "$prev" >"$work/store2/h2/compared"
nights h2
store=$work/store2
run "$store" h2
[ "$st" -le 1 ] || fail "a store kept whole: status $st"
[ ! -s "$work/err" ] || fail "a store kept whole: stderr"
newest h2
if [ ! -e "$store/h2/$last.from-$(echo "$new" | cut -c7-12)" ] ||
    [ "$(held h2 | grep -o '\.from-' | wc -l)" -lt 2 ]; then
	fail "a store kept whole: $last not made a difference: $(held h2)"
fi
same_newest h2 "a store kept whole"
store=$work/store

# Triage on the collector, with a keyring of the test's own: two hosts
# whose snapshots hold a scratch root under dpkg, and whose package
# records are of that root. Every tool it needs, or the rows cannot run.
for tool in dpkg dpkg-deb dpkg-scanpackages apt-ftparchive gpg gpgv gpgconf \
    tar xz; do
	command -v "$tool" >/dev/null 2>&1 ||
	    skip "$tool is not installed: the triage rows cannot run"
done
# The keys' home is short and of its own: gpg-agent's socket must fit in
# about 100 bytes, which a deep checkout's work directory does not.
GNUPGHOME=$(mktemp -d /tmp/kavgpg.XXXXXX) || exit 1
export GNUPGHOME
trap 'gpgconf --kill all 2>/dev/null; sshd_stop; rm -rf "$work" "$GNUPGHOME"' \
    EXIT
for key in 'collector mirror' 'intruder'; do
	step "make the key $key" gpg --batch --quiet --passphrase '' \
	    --quick-gen-key "$key" ed25519 sign never
done
step "export the mirror's key" gpg --batch --export 'collector mirror' \
    >"$work/mirror.gpg"
root=$work/root
. "$(dirname "$0")/../testutil/debs.sh"
mkpkg b 1.0
mkdir -p "$pkg/usr/share/b"
echo 'keep 1.0' >"$pkg/usr/share/b/keep"
echo 'old of b' >"$pkg/usr/share/b/old"
mkpkg b 1.1
mkdir -p "$pkg/usr/share/b"
echo 'keep 1.1' >"$pkg/usr/share/b/keep"
echo 'new in 1.1' >"$pkg/usr/share/b/new"
mkpkg evil 1.0
mkdir -p "$pkg/usr/share/evil"
echo 'evil' >"$pkg/usr/share/evil/tool"
debs_build "$work/debs"
# The collector's mirror, laid out as a Debian archive, signed with its
# key; and the intruder's repository, flat, signed with the other.
mirror=$work/mirror
mkdir -p "$mirror/pool" "$mirror/dists/s/main/binary-all" "$work/other"
cp "$work/debs/b_1.0_all.deb" "$work/debs/b_1.1_all.deb" "$mirror/pool/"
cp "$work/debs/evil_1.0_all.deb" "$work/other/"
(cd "$mirror" &&
    step "index the mirror" dpkg-scanpackages -m pool \
        >dists/s/main/binary-all/Packages &&
    cd dists/s &&
    step "the mirror's Release" apt-ftparchive release . >Release &&
    step "sign the mirror" gpg --batch --quiet -u 'collector mirror' \
        --clearsign -o InRelease Release) || exit 1
debs_sign "$work/other" intruder
debs_root
dpkg_root -i "$work/debs/b_1.0_all.deb"
tree_policy "$root/usr" >"$work/ppolicy"
for h in p1 p2; do
	cat >"$work/$h.conf" <<-EOF
	KAV_POLICY=$work/ppolicy
	KAV_DBDIR=$work/$h.db
	KAV_KEEP=5
	KAV_LOCKWAIT=0
	KAV_BINDIR=$work/bin
	KAV_EXPLAIN=yes
	KAV_PKGROOT=$root
	KAV_FETCH=no
	EOF
	sshd_host "$h" "$work/$h.conf"
done
triage() {
	run -K "$work/mirror.gpg" -S "file:$mirror" -r "$root/" "$@"
}
nights p1 p2
triage "$store" p1 p2
expect 0 "triage: first collection"
for h in p1 p2; do
	case $(held "$h") in
	*" 000000.pkg "*) ;;
	*) fail "triage: $h holds $(held "$h")" ;;
	esac
done

# The same upgrade on both hosts, verified on the collector by the
# mirror's signed index: one operation, on two hosts; nothing left.
dpkg_root -i "$work/debs/b_1.1_all.deb"
nights p1 p2
triage "$store" p1 p2
has "^b 1.0 -> 1.1 on 2 hosts, verified: p1, p2\$" out "an upgrade verified"
has "^Fleet: 2 hosts, 2 changed, 0 failed; 1 package operations, 0 distinct changes not explained (triaged on the collector)\$" \
    out "an upgrade verified"
has "^  b 1.0 → 1.1: [0-9]* paths, all match, archive\$" out \
    "an upgrade verified"
lacks "^unexplained:" out "an upgrade verified"
expect 0 "an upgrade verified"

# A package whose archive only a key the collector does not trust signs:
# its paths are unexplained, the index named as not verified; the same
# new file on both hosts is one line of the summary.
dpkg_root -i "$work/debs/evil_1.0_all.deb"
nights p1 p2
triage -S "$work/other" "$store" p1 p2
expect 2 "an archive that does not verify"
has "^  $work/other/InRelease: the signature does not verify with gpgv\$" out \
    "an archive that does not verify"
has "^evil none -> 1.0 on 2 hosts, claimed only: p1, p2\$" out \
    "an archive that does not verify"
has "^$root/usr/share/evil/tool new identically on 2 hosts: p1, p2\$" out \
    "an archive that does not verify"
has "^  $root/usr/share/evil/tool: new; expected the archive of evil 1.0, listed by a signed index (none at hand) (dpkg)\$" \
    out "an archive that does not verify"

# A trojan on p2 whose records, rewritten, say an upgrade of b brought
# it: the records decide which archive is looked for, and no signed
# index lists that one; unexplained, the upgrade claimed only.
echo 'trojan' >"$root/usr/share/b/helper"
nights p2
rm "$root/usr/share/b/helper"
nights p1
newest p2
mkdir "$work/fake"
step "unpack p2's records" tar -xJf "$work/p2.db/$new.pkg" -C "$work/fake"
sed -i '/^Package: b$/,/^$/s/^Version: 1.1$/Version: 1.2/' \
    "$work/fake/var/lib/dpkg/status"
echo /usr/share/b/helper >>"$work/fake/var/lib/dpkg/info/b.list"
step "repack p2's records" tar -cJf "$work/p2.db/$new.pkg" -C "$work/fake" var
triage -j "$store" p1 p2
expect 1 "a trojan claimed by the records"
has "^{\"host\":\"p2\",\"since\":\"previous\",.*\"operation\":\"upgrade\",\"package\":\"b\",\"older_version\":\"1.1\",\"version\":\"1.2\",\"verified\":false}\$" \
    out "a trojan claimed by the records"
has "^{\"host\":\"p2\",\"since\":\"previous\",.*\"path\":\"$root/usr/share/b/helper\",.*\"verdict\":\"unexplained\",\"evidence\":\"dpkg\",\"package\":\"b\",\"version\":\"1.2\",\"expected\":\"the archive of b 1.2, listed by a signed index (none at hand)\"}\$" \
    out "a trojan claimed by the records"
lacks '"host":"p1","since":"previous"' out "a trojan claimed by the records"
has '^{"host":"p2","since":"baseline",.*"operation":"upgrade","package":"b","older_version":"1.0","version":"1.2","verified":false}$' \
    out "a trojan claimed by the records"

# A quiet night on p1: its package records, the same as the night
# before, are kept as a link to the night before's, byte for byte the
# host's.
newest p1
prev=$new
nights p1
newest p1
triage "$store" p1
[ "$st" -le 1 ] || fail "records the same: status $st"
cmp -s "$work/p1.db/$new.pkg" "$store/p1/$new.pkg" ||
    fail "records the same: not the host's"
[ "$(stat -c %i "$store/p1/$new.pkg")" = "$(stat -c %i "$store/p1/$prev.pkg")" ] ||
    fail "records the same: a copy kept"

# Records sent as a difference from a base the store holds otherwise: they
# do not rebuild to what the host states; nothing is kept, and the next
# run asks for the snapshot whole.
base=$new
nights p1
newest p1
chmod u+w "$store/p1/$base.pkg"
echo 'junk' >>"$store/p1/$base.pkg"
triage "$store" p1
expect 2 "records that do not rebuild"
has "^kavcollect: p1: send: the package records as a difference from \
$base\\.pkg \(do not rebuild to the SHA-256 stated\|cannot be rebuilt: .*\); \
refused\$" err "records that do not rebuild"
[ ! -e "$store/p1/$new" ] || fail "records that do not rebuild: kept"
[ "$(cat "$store/p1/whole")" = "$new" ] ||
    fail "records that do not rebuild: whole"
triage "$store" p1
[ "$st" -le 1 ] || fail "records asked whole: status $st"
cmp -s "$work/p1.db/$new.pkg" "$store/p1/$new.pkg" ||
    fail "records asked whole: not the host's"

# -f: the archives the triage needs fetched into an empty -C with apt's
# own tools, as apt is configured for the collector: here a root of apt's
# own (APT_CONFIG, Dir in the test's directory: nothing of the machine's
# apt is read) whose sources are a flat repository that the mirror's key
# signs, holding b and c, and the intruder's, holding evil, each with
# signed-by its own key; -S is its lists directory after apt-get update,
# and the mirror besides. An apt-get on PATH before the real one counts
# the fetches.
command -v apt-get >/dev/null 2>&1 ||
    skip "apt-get is not installed: the rows of -f cannot run"
mkpkg c 1.0
mkdir -p "$pkg/usr/share/c"
echo 'c 1.0' >"$pkg/usr/share/c/file"
mkpkg c 1.1
mkdir -p "$pkg/usr/share/c"
echo 'c 1.1' >"$pkg/usr/share/c/file"
mkpkg d 1.0
mkdir -p "$pkg/usr/share/d"
echo 'd' >"$pkg/usr/share/d/file"
debs_build "$work/debs2"
repo=$work/aptrepo
mkdir -p "$repo"
cp "$work/debs/b_1.0_all.deb" "$work/debs/b_1.1_all.deb" \
    "$work/debs2/c_1.0_all.deb" "$work/debs2/c_1.1_all.deb" \
    "$work/debs2/d_1.0_all.deb" "$repo/"
debs_sign "$repo" 'collector mirror'
step "export the intruder's key" gpg --batch --export 'intruder' \
    >"$work/intruder.gpg"
apt=$work/apt
mkdir -p "$apt/etc/apt/apt.conf.d" "$apt/etc/apt/preferences.d" \
    "$apt/etc/apt/sources.list.d" "$apt/var/lib/apt/lists/partial" \
    "$apt/var/cache/apt/archives/partial" "$apt/var/lib/dpkg" \
    "$work/fetched" "$work/aptbin" || fail "the collector's apt root"
: >"$apt/var/lib/dpkg/status"
printf 'deb [signed-by=%s] file:%s ./\n' "$work/mirror.gpg" "$repo" \
    "$work/intruder.gpg" "$work/other" >"$apt/etc/apt/sources.list"
printf 'Dir "%s/";\nDebug::NoLocking "true";\n' "$apt" >"$apt/etc/apt/apt.conf"
# apt's own user could not enter a test directory of mode 0700.
APT_CONFIG=$apt/etc/apt/apt.conf step "apt-get update for the collector" \
    apt-get -q -o APT::Sandbox::User=root update >/dev/null
# d's archive, which the signed index lists, is gone from the repository.
rm "$repo/d_1.0_all.deb"
printf '#!/bin/sh\necho "$*" >>"%s"\nexec "%s" "$@"\n' "$work/apt-calls" \
    "$(command -v apt-get)" >"$work/aptbin/apt-get"
chmod 755 "$work/aptbin/apt-get"
: >"$work/apt-calls"
# kavcollect -f as the collector's apt is configured.
fetching() {
	saved_path=$PATH
	PATH=$work/aptbin:$PATH
	APT_CONFIG=$apt/etc/apt/apt.conf
	export APT_CONFIG
	triage -f -S "$apt/var/lib/apt/lists" -C "$work/fetched" "$@"
	unset APT_CONFIG
	PATH=$saved_path
}

# -f without -C has nowhere to fetch into: refused before a host is asked.
run -f -K "$work/mirror.gpg" "$store" p1
expect 2 "-f without -C"
has "^kavcollect: -f fetches the archives the triage needs into -C: -K and -C are needed\$" \
    err "-f without -C"

# c 1.0 on both hosts, collected without -f: the store's newest records
# are the hosts' own again.
dpkg_root -i "$work/debs2/c_1.0_all.deb"
nights p1 p2
triage "$store" p1 p2
expect 1 "c installed, collected without -f"

# The upgrade of c on both hosts is verified once its two archives are
# fetched, each once for both hosts and both comparisons; b's archives,
# which the mirror places, are not fetched. d, which the signed index
# lists but the repository has lost, is tried once, named as not fetched
# with apt's reason, and its path stays unexplained. evil, which only the
# intruder's source lists, is not fetched at all: no index that the
# collector's keyring verifies lists it, which is named, and the host's
# records alone choose nothing to download. So the status is 2.
dpkg_root -i "$work/debs2/c_1.1_all.deb" "$work/debs2/d_1.0_all.deb"
nights p1 p2
fetching "$store" p1 p2
expect 2 "-f: archives fetched"
has "^c 1.0 -> 1.1 on 2 hosts, verified: p1, p2\$" out "-f: archives fetched"
has "^d none -> 1.0 on 2 hosts, claimed only: p1, p2\$" out \
    "-f: archives fetched"
has "^$root/usr/share/d/file new identically on 2 hosts: p1, p2\$" out \
    "-f: archives fetched"
has "^not fetched:\$" out "-f: archives fetched"
has "^  d 1.0 all: apt-get download: E: .*\$" out "-f: archives fetched"
[ "$(grep -c '^  d 1.0 all: ' "$work/out")" -eq 4 ] ||
    fail "-f: d not named once in each of the four comparisons"
has "^  $apt/var/lib/apt/lists/.*_InRelease: the signature does not verify with gpgv\$" \
    out "-f: archives fetched"
for deb in c_1.0_all.deb c_1.1_all.deb; do
	cmp -s "$work/debs2/$deb" "$work/fetched/$deb" ||
	    fail "-f: $deb not fetched into -C"
done
[ ! -e "$work/fetched/evil_1.0_all.deb" ] || fail "-f: evil fetched"
[ "$(grep -c "^  $root/usr/share/evil/tool: new; expected the archive of evil 1.0, listed by a signed index (none at hand) (dpkg)\$" "$work/out")" -eq 2 ] ||
    fail "-f: evil's path not unexplained on both hosts"
lacks " evil=" apt-calls "-f: archives fetched"
for want in c=1.0 c=1.1 d=1.0; do
	[ "$(grep -c " $want\$" "$work/apt-calls")" -eq 1 ] ||
	    fail "-f: $want not fetched once: $(cat "$work/apt-calls")"
done
lacks " b=" apt-calls "-f: archives fetched"
[ -z "$(sort "$work/apt-calls" | uniq -d)" ] ||
    fail "-f: an archive fetched twice: $(cat "$work/apt-calls")"

# d removed: a new run tries its archive again, and the JSON Lines name
# it where it is not fetched.
dpkg_root -r d
nights p1 p2
fetching -j "$store" p1 p2
has '^{"host":"p1","since":"previous",.*"not_fetched":"d 1.0 all: apt-get download: E: [^"]*"}$' \
    out "-f: not fetched as JSON"
[ "$(grep -c " d=1.0\$" "$work/apt-calls")" -eq 2 ] ||
    fail "-f: d not tried again in the next run: $(cat "$work/apt-calls")"

echo "kavcollect: every collection as expected"
exit 0
