#!/bin/sh
# A long batch of random operator sessions (default 1,000), the window and
# lumoctl against the virtual bus on its line model. Prints each session's
# seed and outcome, each break with its invariant and a replay command line,
# and at the end "sessions / invariant breaks" with the seeds of any break.
#
#   bench/sessions.sh [BUILD_DIR] [COUNT] [FIRST_SEED]
#
# Several shards run side by side when JOBS is set (default 1: the machine's
# other work keeps its cores); a session mostly waits on the line, so fifty
# fit on two cores. SHRINK=0 skips the search for the fewest actions that
# still break, which replays each breaking session many times. Exit status
# 1 when any session broke.
set -eu
build=${1:-build}
count=${2:-1000}
first=${3:-1}
jobs=${JOBS:-1}
shrink=${SHRINK:-1}
runner="$build/tests/sessions/session_runner"
[ -x "$runner" ] || { echo "sessions.sh: build session_runner first ($runner)" >&2; exit 2; }
export QT_QPA_PLATFORM=offscreen

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
per=$(( (count + jobs - 1) / jobs ))
shard=0
while [ "$shard" -lt "$jobs" ]; do
  start=$(( first + shard * per ))
  n=$per
  [ $(( start + n )) -gt $(( first + count )) ] && n=$(( first + count - start ))
  if [ "$n" -gt 0 ]; then
    if [ "$shrink" = 0 ]; then
      "$runner" --batch "$n" --first "$start" > "$out/$shard.log" 2>&1 &
    else
      "$runner" --batch "$n" --first "$start" --shrink > "$out/$shard.log" 2>&1 &
    fi
  fi
  shard=$(( shard + 1 ))
done
wait || true
cat "$out"/*.log | grep -v '^[0-9]* sessions / '
sessions=$(cat "$out"/*.log | grep -c '^seed [0-9]*:' || true)
breaks=$(cat "$out"/*.log | grep -c '^seed [0-9]*:.*BREAK' || true)
seeds=$(cat "$out"/*.log | sed -n 's/^seed \([0-9]*\):.*BREAK.*/\1/p' | tr '\n' ' ')
echo "$sessions sessions / $breaks invariant breaks${seeds:+; breaking seeds: $seeds}"
[ "$breaks" -eq 0 ]
