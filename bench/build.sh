#!/bin/sh
# Times the builder's parts beside the reference tools, in one run so that
# both sides see the same machine load; prints medians and ratios.
#
#   bench/build.sh [runs]          (after "make bench" and "make")
#
# 1. SHA-1 on 8192-byte buffers: bench/sha1_bench against
#    "openssl speed -bytes 8192 sha1"; the portable transform against
#    coreutils sha1sum on the same cached file.
# 2. A cached 1 GB file: sha_file (gen_digest) against "openssl sha1".
# 3. kavbuild on the cached 1 GB file alone, against openssl sha1.
# 4. kavbuild on /usr, warm cache, every attribute of every object (F):
#    on every CPU, and under taskset -c 0, against find | xargs openssl
#    sha1; then every object with C only (no checksums), against find
#    -printf of the same attributes. Peak memory of the builds.
# 5. As root, the same every-attribute build of /usr with the page cache
#    dropped before each run, against find | xargs -P 8 cat and find |
#    xargs openssl sha1, cold too (COLD_RUNS rounds, default 3; COLD_RUNS=0
#    skips it).
# Scratch files (the 1 GB file, the databases) live in build-bench/scratch.
set -eu
cd "$(dirname "$0")/.."
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
runs=${1:-5}
bin=build-bench
kavbuild=build/kavbuild
scratch=$bin/scratch
rm -rf "$scratch"
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT

. bench/common.sh

echo "== SHA-1 on 8192-byte buffers"
ours=$("$bin/bench/sha1_bench" --benchmark_filter='BM_Sha1Accel/8192$' \
    --benchmark_min_time=3 --benchmark_format=csv 2>/dev/null |
  awk -F, '/BM_Sha1Accel/ { print $6 / 1000 }')
ref=$(openssl speed -bytes 8192 -seconds 3 sha1 2>/dev/null |
  awk '$1 == "sha1" { sub(/k$/, "", $2); print $2 }')
printf 'sha1_bench (SHA extensions)  %10.0f kB/s\n' "$ours"
printf 'openssl speed sha1           %10.0f kB/s\n' "$ref"
printf 'ratio                        %10s (target >= 0.95)\n' "$(ratio "$ours" "$ref")"

echo "== a cached 1 GB file"
head -c 1073741824 /dev/urandom >"$scratch/big"
cat "$scratch/big" >/dev/null
interleave "$bin/bench/gen_digest $scratch/big" "openssl sha1 $scratch/big" \
  "$bin/bench/gen_digest -p $scratch/big" "sha1sum $scratch/big"
printf 'sha_file (SHA extensions)    %8.3f s  cpu %8.3f s\n' "$(m 0)" "$(cpu 0)"
printf 'openssl sha1                 %8.3f s  cpu %8.3f s\n' "$(m 1)" "$(cpu 1)"
printf 'ratio                        %8s (target <= 1.10)  cpu %s\n' \
  "$(ratio "$(m 0)" "$(m 1)")" "$(ratio "$(cpu 0)" "$(cpu 1)")"
printf 'sha_file (portable)          %8.3f s  cpu %8.3f s\n' "$(m 2)" "$(cpu 2)"
printf 'sha1sum                      %8.3f s  cpu %8.3f s\n' "$(m 3)" "$(cpu 3)"
printf 'ratio                        %8s (target <= 1.00)  cpu %s\n' \
  "$(ratio "$(m 2)" "$(m 3)")" "$(ratio "$(cpu 2)" "$(cpu 3)")"
confine "$scratch" >"$scratch/big.conf"
interleave "$kavbuild -c $scratch/big.conf -d $scratch/db" \
  "openssl sha1 $scratch/big"
printf 'kavbuild, the 1 GB file      %8.3f s  cpu %8.3f s\n' "$(m 0)" "$(cpu 0)"
printf 'openssl sha1                 %8.3f s  cpu %8.3f s\n' "$(m 1)" "$(cpu 1)"
printf 'ratio                        %8s (target <= 1.00)  cpu %s\n' \
  "$(ratio "$(m 0)" "$(m 1)")" "$(ratio "$(cpu 0)" "$(cpu 1)")"
rm -f "$scratch/big"

echo "== kavbuild on /usr, warm cache ($(find /usr | wc -l) objects, $(nproc) CPUs)"
cat >"$scratch/full.conf" <<'POL'
@NO:/
+N
name:usr
+N:S
@NO:/usr
+F:I
POL
cat >"$scratch/attr.conf" <<'POL'
@NO:/
+N
name:usr
+N:S
@NO:/usr
+C:I
POL
find /usr -type f -print0 | xargs -0 cat >/dev/null 2>&1 || true
interleave "$kavbuild -c $scratch/full.conf -d $scratch/db" \
  "taskset -c 0 $kavbuild -c $scratch/full.conf -d $scratch/db" \
  "find /usr -type f -print0 | xargs -0 openssl sha1"
printf 'kavbuild, F, every CPU       %8.3f s  cpu %8.3f s\n' "$(m 0)" "$(cpu 0)"
printf 'kavbuild, F, taskset -c 0    %8.3f s  cpu %8.3f s\n' "$(m 1)" "$(cpu 1)"
printf 'find | xargs openssl sha1    %8.3f s  cpu %8.3f s\n' "$(m 2)" "$(cpu 2)"
printf 'ratio to taskset -c 0        %8s (target <= 0.60)\n' "$(ratio "$(m 0)" "$(m 1)")"
printf 'ratio to openssl             %8s (target <= 0.50)\n' "$(ratio "$(m 0)" "$(m 2)")"
interleave "$kavbuild -c $scratch/attr.conf -d $scratch/db" \
  "find /usr -printf '%i %m %n %U %G %C@ %s %p\n'"
printf 'kavbuild, C                  %8.3f s  cpu %8.3f s\n' "$(m 0)" "$(cpu 0)"
printf 'find -printf                 %8.3f s  cpu %8.3f s\n' "$(m 1)" "$(cpu 1)"
printf 'ratio                        %8s (target <= 1.25)  cpu %s\n' \
  "$(ratio "$(m 0)" "$(m 1)")" "$(ratio "$(cpu 0)" "$(cpu 1)")"
for c in full attr; do
  rm -f "$scratch/db"
  /usr/bin/time -f %M -o "$scratch/rss" "$kavbuild" -c "$scratch/$c.conf" \
    -d "$scratch/db"
  printf 'peak memory, %-4s            %8s kB\n' "$c" "$(cat "$scratch/rss")"
done

cold_runs=${COLD_RUNS:-3}
if [ "$(id -u)" -ne 0 ] || [ "$cold_runs" -eq 0 ]; then
  echo "== cold cache: skipped (needs root and COLD_RUNS > 0)"
  exit 0
fi
echo "== kavbuild on /usr, cold cache (caches dropped before each run)"
runs=$cold_runs
pre="sync; echo 3 >/proc/sys/vm/drop_caches"
interleave "$kavbuild -c $scratch/full.conf -d $scratch/db" \
  "find /usr -type f -print0 | xargs -0 -P 8 -n 200 cat" \
  "find /usr -type f -print0 | xargs -0 openssl sha1"
printf 'kavbuild, F                  %8.3f s  cpu %8.3f s\n' "$(m 0)" "$(cpu 0)"
printf 'find | xargs -P 8 cat        %8.3f s  cpu %8.3f s\n' "$(m 1)" "$(cpu 1)"
printf 'find | xargs openssl sha1    %8.3f s  cpu %8.3f s\n' "$(m 2)" "$(cpu 2)"
printf 'ratio to parallel cat        %8s (target <= 1.25)\n' "$(ratio "$(m 0)" "$(m 1)")"
printf 'ratio to openssl             %8s (target <= 0.50)\n' "$(ratio "$(m 0)" "$(m 2)")"
