#!/bin/sh
# Times the records with SHA-256 and extended attributes beside the
# reference tools, in one run so that both sides see the same machine
# load; prints medians, ratios and database sizes.
#
#   bench/records.sh [runs]          (after "make")
#
# 1. A cached 1 GB file: kavbuild recording its SHA-256 (h) against
#    "openssl sha256".
# 2. kavbuild on /usr, warm cache: every attribute but c, with h and x;
#    then every attribute with both digests (A); against
#    find | xargs openssl sha256.
# 3. The sizes of the /usr databases under F, the first policy and A.
# Scratch files live in build/scratch-records.
set -eu
cd "$(dirname "$0")/.."
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
runs=${1:-5}
kavbuild=build/kavbuild
scratch=build/scratch-records
rm -rf "$scratch"
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT
. bench/common.sh

echo "== a cached 1 GB file"
head -c 1073741824 /dev/urandom >"$scratch/big"
cat "$scratch/big" >/dev/null
confine "$scratch" h >"$scratch/big.conf"
interleave "$kavbuild -c $scratch/big.conf -d $scratch/db" \
  "openssl sha256 $scratch/big"
printf 'kavbuild, h, the 1 GB file   %8.3f s  cpu %8.3f s\n' "$(m 0)" "$(cpu 0)"
printf 'openssl sha256               %8.3f s  cpu %8.3f s\n' "$(m 1)" "$(cpu 1)"
printf 'ratio                        %8s (target <= 1.05)  cpu %s\n' \
  "$(ratio "$(m 0)" "$(m 1)")" "$(ratio "$(cpu 0)" "$(cpu 1)")"
rm -f "$scratch/big"

echo "== kavbuild on /usr, warm cache ($(find /usr | wc -l) objects, $(nproc) CPUs)"
for p in F:F hx:ilugmtsfhx A:A; do
  printf '@NO:/\n+N\nname:usr\n+N:S\n@NO:/usr\n+%s:I\n' "${p#*:}" \
    >"$scratch/${p%%:*}.conf"
done
find /usr -type f -print0 | xargs -0 cat >/dev/null 2>&1 || true
interleave "$kavbuild -c $scratch/hx.conf -d $scratch/db" \
  "$kavbuild -c $scratch/A.conf -d $scratch/db" \
  "find /usr -type f -print0 | xargs -0 openssl sha256"
printf 'kavbuild, ilugmtsfhx         %8.3f s  cpu %8.3f s\n' "$(m 0)" "$(cpu 0)"
printf 'kavbuild, A (both digests)   %8.3f s  cpu %8.3f s\n' "$(m 1)" "$(cpu 1)"
printf 'find | xargs openssl sha256  %8.3f s  cpu %8.3f s\n' "$(m 2)" "$(cpu 2)"
printf 'ratio, ilugmtsfhx            %8s (target <= 0.50)\n' "$(ratio "$(m 0)" "$(m 2)")"
printf 'ratio, A                     %8s (target <= 0.75)\n' "$(ratio "$(m 1)" "$(m 2)")"

echo "== database sizes of /usr"
for c in F hx A; do
  rm -f "$scratch/db.$c"
  "$kavbuild" -c "$scratch/$c.conf" -d "$scratch/db.$c"
  printf '%-3s %12s bytes, %s frames with extended attributes\n' "$c" \
    "$(stat -c %s "$scratch/db.$c")" \
    "$(build/kavjson "$scratch/db.$c" | grep -c '"xattrs":\[{' || true)"
done
