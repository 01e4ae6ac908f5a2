#!/bin/sh
# Runs every fuzz target of a build for a bounded time and prints libFuzzer's
# final figures. Usage: fuzz/run.sh BUILD_DIR SECONDS
# The targets are those the build lists in BUILD_DIR/fuzz/targets.txt, each
# by its name and its path in the tree; a target's dictionary and options
# are beside its source (PATH.dict, PATH.options), its seeds in
# fuzz/corpus/NAME. The seeds are read, never written: what a run finds
# goes to BUILD_DIR/fuzz-corpus/, crashes to BUILD_DIR/fuzz-artifacts/.
set -u
build=$1
secs=$2
top=$(cd "$(dirname "$0")/.." && pwd)
status=0
summary=""
if [ ! -s "$build/fuzz/targets.txt" ]; then
  echo "fuzz: $build/fuzz/targets.txt lists no target" >&2
  exit 1
fi
while read -r name path; do
  bin="$build/fuzz/$name"
  work="$build/fuzz-corpus/$name"
  art="$build/fuzz-artifacts/$name/"
  log="$build/fuzz-logs/$name.log"
  mkdir -p "$work" "$art" "$(dirname "$log")"
  set -- -max_total_time="$secs" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$art"
  [ -f "$top/$path.dict" ] && set -- "$@" -dict="$top/$path.dict"
  # A target's options file holds libFuzzer options, one a line.
  if [ -f "$top/$path.options" ]; then
    while IFS= read -r opt; do
      [ -n "$opt" ] && set -- "$@" "$opt"
    done <"$top/$path.options"
  fi
  echo "fuzz: $name for $secs s" >&2
  # Keep the output for the figures; UBSan must stop the run like ASan does.
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  TZ=UTC "$bin" "$@" "$work" "$top/fuzz/corpus/$name" >"$log" 2>&1 </dev/null
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | sed 's/cov: //')
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | sed 's/ft: //')
  line="$name: status $rc, ${runs:-?} runs, cov ${cov:-?}, ft ${ft:-?}"
  summary="$summary$line
"
  if [ $rc -ne 0 ]; then
    status=1
    echo "fuzz: $name failed, log in $log:" >&2
    grep -m 20 -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" >&2
  fi
done <"$build/fuzz/targets.txt"
printf '%s' "$summary"
exit $status
