#!/bin/sh
# kavexplain on this host, side by side with debsums in the same rounds:
# every file of every installed package triaged at the dpkg level (an
# empty older snapshot makes every path new), then the same at the
# archive level where apt's cache has the package.
#
#   bench/explain.sh builddir [rounds]
#
# As root: the dpkg level hides apt's cache in a mount namespace of its
# own. Writes its snapshot under builddir; prints each run's seconds and
# the medians.
set -eu
build=$(cd "$1" && pwd)
rounds=${2-3}
work=$build/bench-explain
mkdir -p "$work"
for tool in debsums unshare; do
	command -v $tool >/dev/null || { echo "bench: needs $tool" >&2; exit 1; }
done

# Every tree but those no package fills.
cat >"$work/policy" <<'POLICY'
@NO:/
+N:S
name:proc
name:sys
name:dev
name:run
name:tmp
name:work
name:root
name:home
name:mnt
name:media
name:lost+found
+F:I
POLICY
: >"$work/empty.db"
if [ ! -s "$work/host.db" ]; then
	"$build/kavbuild" -c "$work/policy" -d "$work/host.db.new" 2>/dev/null
	mv "$work/host.db.new" "$work/host.db"
fi

seconds() {
	start=$(date +%s.%N)
	"$@" >/dev/null 2>&1 || true
	end=$(date +%s.%N)
	echo "$end - $start" | bc
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

dpkg_level() {
	unshare -m sh -c 'mount -t tmpfs none /var/cache/apt/archives &&
	    exec "$0" "$@"' "$build/kavexplain" -j -t 0 -T 0 \
	    "$work/empty.db" "$work/host.db"
}
archive_level() {
	"$build/kavexplain" -j -t 0 -T 0 "$work/empty.db" "$work/host.db"
}

# One run of each to warm the page cache, then the rounds interleaved.
debsums -s >/dev/null 2>&1 || true
dpkg_level >"$work/dpkg.json" 2>&1 || true
: >"$work/t.debsums"; : >"$work/t.dpkg"; : >"$work/t.archive"
i=0
while [ "$i" -lt "$rounds" ]; do
	seconds debsums -s >>"$work/t.debsums"
	seconds dpkg_level >>"$work/t.dpkg"
	seconds archive_level >>"$work/t.archive"
	i=$((i + 1))
done
for t in debsums dpkg archive; do
	printf '%-8s %s  median %s\n' "$t" "$(tr '\n' ' ' <"$work/t.$t")" \
	    "$(median <"$work/t.$t")"
done
printf 'paths triaged: %s, of which a package claims: %s\n' \
    "$(wc -l <"$work/dpkg.json")" \
    "$(grep -c '"package":' "$work/dpkg.json")"
