#!/bin/sh
# SHA-256 per CPU-second of one thread: the crypto library's digest, each
# single-stream block function, the two-stream one and two lanes through
# sha256_lane_update2 (sha256x2_cpu), and "openssl speed -evp sha256"
# beside them for reference, with the load average before and after.
#
#   bench/sha256x2.sh [seconds per measurement]     (after "make bench")
set -eu
cd "$(dirname "$0")/.."
load() { cut -d' ' -f1-3 /proc/loadavg; }
build-bench/bench/sha256x2_cpu "$@"
echo
openssl speed -evp sha256 -seconds 3 2>/dev/null | tail -n 3
echo "load average after openssl: $(load)"
