#!/bin/sh
# Start-up on loopback: from launching tessomar-cli live to the first picture on the view
# (its --stats line launch_to_first_picture_ms, taken from the process's start as the kernel
# records it, to 10 ms), against tessomar-dvrsim; and the wall time of short commands, which
# is mostly the dynamic loader's. The goal for the first picture is under 250 ms.
#
#   bench/launch_time.sh [BUILD_DIR] [RUNS]
#
# Prints one line per measure: min, median and max over the runs, in milliseconds; the last
# line says whether the median first picture met the goal (exit 1 when it did not).
set -eu
BUILD=${1:-build}
RUNS=${2:-9}
BIN=$BUILD/bin
GOAL_MS=250
OUT=$(mktemp -d)
SIM=
trap '[ -n "$SIM" ] && kill $SIM 2>/dev/null; rm -rf "$OUT"' EXIT

# min median max of the numbers on stdin
summary() {
  sort -n | awk '{ v[NR] = $1 } END { printf "min %d  median %d  max %d ms\n", v[1], v[int((NR + 1) / 2)], v[NR] }'
}

# Wall milliseconds of one run of a command.
wall_ms() {
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

"$BIN/tessomar-dvrsim" --listen 127.0.0.1:0 >"$OUT/sim.log" 2>&1 &
SIM=$!
for _ in $(seq 50); do
  grep -q DVR_UK= "$OUT/sim.log" && break
  sleep 0.1
done
addr=$(sed -n 's/^listening on //p' "$OUT/sim.log")
uk=$(sed -n 's/^DVR_UK=//p' "$OUT/sim.log")
[ -n "$addr" ] && [ -n "$uk" ] || { echo "the simulator did not start" >&2; exit 2; }

: >"$OUT/first"
: >"$OUT/after_identity"
for _ in $(seq "$RUNS"); do
  "$BIN/tessomar-cli" live --dvr "$addr" --uk "$uk" --seconds 0.5 --stats >"$OUT/live" 2>&1 || true
  sed -n 's/^launch_to_first_picture_ms=//p' "$OUT/live" >>"$OUT/first"
  sed -n 's/^first_picture_ms=//p' "$OUT/live" >>"$OUT/after_identity"
done
if grep -q -- '^-1$' "$OUT/first" || [ "$(wc -l <"$OUT/first")" -ne "$RUNS" ]; then
  echo "some runs showed no picture:" >&2
  cat "$OUT/live" >&2
  exit 1
fi

for cmd in "--version" "devtime 131284800" "live --help"; do
  : >"$OUT/short"
  # shellcheck disable=SC2086 # the words of cmd are the arguments
  for _ in $(seq "$RUNS"); do wall_ms "$BIN/tessomar-cli" $cmd >>"$OUT/short"; done
  printf 'wall of tessomar-cli %-20s %s' "$cmd:" "$(summary <"$OUT/short")"
  echo
done
printf 'view command to first picture:        %s\n' "$(summary <"$OUT/after_identity")"
printf 'launch to first picture:              %s\n' "$(summary <"$OUT/first")"
median=$(sort -n "$OUT/first" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
if [ "$median" -lt "$GOAL_MS" ]; then
  echo "goal met: median launch to first picture $median ms < $GOAL_MS ms"
else
  echo "goal missed: median launch to first picture $median ms >= $GOAL_MS ms"
  exit 1
fi
