#!/bin/sh
# Times kavbuild on /usr against the hash floor: the time the digests alone
# would take on every CPU at the speed "openssl speed -evp" gives for one,
# worked out in the same run. With KB_BEFORE naming another build's
# kavbuild, that one runs in the same rounds, taking turns with this one,
# and the databases of both are compared at the end.
#
#   [KB_BEFORE=path/to/kavbuild] bench/floor.sh [runs]     (after "make")
#
# For F (SHA-1) and ilugmtsfhx (SHA-256 and extended attributes): the
# median wall and CPU time of the runs, the cache warmed before each, and
# the ratio to the floor (targets 1.25 and 1.30), of the wall time and of
# the CPU time. The floor is the bytes of every regular file under /usr,
# hard links counted once per name as the build reads them, over the
# number of CPUs times the per-CPU speed of "openssl speed -evp" on 16 KiB
# buffers. Scratch files live in
# build/scratch-floor.
set -eu
cd "$(dirname "$0")/.."
runs=${1:-5}
kavbuild=build/kavbuild
before=${KB_BEFORE:-}
scratch=build/scratch-floor
rm -rf "$scratch"
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT
. bench/common.sh

load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "load average before: $(load)"
cpus=$(nproc)
bytes=$(find /usr -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f\n", s }')
# The last column of the result line, in thousands of bytes per second of
# user time on one CPU.
speed() {
  openssl speed -evp "$1" -bytes 16384 -seconds 3 2>/dev/null |
    awk -v a="$1" '$1 == a { v = $NF; sub(/k$/, "", v); print v * 1000 }'
}
sha1=$(speed sha1)
sha256=$(speed sha256)
floor1=$(echo "$bytes / ($cpus * $sha1)" | bc -l)
floor256=$(echo "$bytes / ($cpus * $sha256)" | bc -l)
printf '/usr: %s objects, %s bytes in regular files; %s CPUs\n' \
  "$(find /usr | wc -l)" "$bytes" "$cpus"
printf 'openssl speed -evp, 16 KiB: sha1 %.3f GB/s, sha256 %.3f GB/s per CPU\n' \
  "$(echo "$sha1 / 1000000000" | bc -l)" "$(echo "$sha256 / 1000000000" | bc -l)"
printf 'floor: F %.3f s, ilugmtsfhx %.3f s\n' "$floor1" "$floor256"

for p in F:F hx:ilugmtsfhx; do
  printf '@NO:/\n+N\nname:usr\n+N:S\n@NO:/usr\n+%s:I\n' "${p#*:}" \
    >"$scratch/${p%%:*}.conf"
done
# A warm cache, again before every run: a page cache under pressure lets go
# of some files between runs.
pre="find /usr -type f -print0 | xargs -0 cat >/dev/null 2>&1 || true"
set -- "$kavbuild -c $scratch/F.conf -d $scratch/db" \
  "$kavbuild -c $scratch/hx.conf -d $scratch/db"
if [ -n "$before" ]; then
  set -- "$@" "$before -c $scratch/F.conf -d $scratch/db" \
    "$before -c $scratch/hx.conf -d $scratch/db"
fi
interleave "$@"
echo "load average after: $(load)"
echo "== median of $runs runs, warm cache"
# The CPU ratio is the CPU time over what the digests alone take on every
# CPU: the ratio the wall time reaches once the CPUs are all busy, and one
# that other programs running beside the build disturb much less.
row() {
  printf '%-22s %8.3f s  cpu %8.3f s  ratio to the floor %s (target %s), cpu %s\n' \
    "$1" "$(m "$2")" "$(cpu "$2")" "$(ratio "$(m "$2")" "$3")" "$4" \
    "$(ratio "$(cpu "$2")" "$(echo "$cpus * $3" | bc -l)")"
}
row "kavbuild F" 0 "$floor1" 1.25
row "kavbuild ilugmtsfhx" 1 "$floor256" 1.30
if [ -n "$before" ]; then
  row "before, F" 2 "$floor1" 1.25
  row "before, ilugmtsfhx" 3 "$floor256" 1.30
  printf 'new over before: F %s, ilugmtsfhx %s\n' \
    "$(ratio "$(m 0)" "$(m 2)")" "$(ratio "$(m 1)" "$(m 3)")"

  echo "== databases of /usr, each build's taken one after the other"
  same=0
  for c in F hx; do
    "$kavbuild" -c "$scratch/$c.conf" -d "$scratch/new.$c"
    "$before" -c "$scratch/$c.conf" -d "$scratch/old.$c"
    if cmp "$scratch/new.$c" "$scratch/old.$c"; then
      printf '%-3s identical, %s bytes\n' "$c" "$(stat -c %s "$scratch/new.$c")"
    else
      printf '%-3s DIFFERENT\n' "$c"
      same=1
    fi
  done
  exit $same
fi
