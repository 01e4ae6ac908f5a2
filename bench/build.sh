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

now() { date +%s.%N; }
pre=

# Runs each of the commands given as strings once per round, rounds
# interleaved, each after the command $pre (untimed) when it is set, and
# leaves the median wall time of command i in $scratch/m.i and the median
# CPU time (user and system, all its processes) in
# $scratch/c.i: on a shared machine the CPU time shows the work done when
# the wall time shows mostly the wait for a core.
interleave() {
  k=0
  for c in "$@"; do : >"$scratch/t.$k"; : >"$scratch/u.$k"; k=$((k + 1)); done
  r=0
  while [ "$r" -lt "$runs" ]; do
    k=0
    for c in "$@"; do
      rm -f "$scratch"/db
      [ -z "$pre" ] || sh -c "$pre"
      t0=$(now)
      sh -c "$c >/dev/null; times" >"$scratch/times"
      t1=$(now)
      echo "$t1 - $t0" | bc -l >>"$scratch/t.$k"
      # The second line of times: the children's user and system time.
      sed -n 2p "$scratch/times" | tr 'ms' '  ' |
        awk '{ print $1 * 60 + $2 + $3 * 60 + $4 }' >>"$scratch/u.$k"
      k=$((k + 1))
    done
    r=$((r + 1))
  done
  k=0
  for c in "$@"; do
    for f in t u; do
      sort -n "$scratch/$f.$k" |
        awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }' \
          >"$scratch/$(echo $f | tr tu mc).$k"
    done
    k=$((k + 1))
  done
}
m() { cat "$scratch/m.$1"; }
cpu() { cat "$scratch/c.$1"; }
ratio() { echo "$1 / $2" | bc -l | awk '{ printf "%.3f", $1 }'; }

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
# A policy that records the big file alone: each ancestor of the scratch
# directory lets the walk through its next component only.
confine() {
  top=$(cd "$1" && pwd -P)
  at=/
  rest=${top#/}
  while [ -n "$rest" ]; do
    name=${rest%%/*}
    printf '@NO:%s\n+N\nname:%s\n+N:S\n' "$at" "$name"
    at=${at%/}/$name
    case $rest in */*) rest=${rest#*/} ;; *) rest= ;; esac
  done
  printf '@NO:%s\n+F\nname:big\n+N\n' "$top"
}
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
