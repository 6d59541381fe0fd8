#!/bin/sh
# Backup speed on loopback: tessomar-cli backup of one D1 channel (704 x 576, 25 pictures a
# second, sound) from tessomar-dvrsim, as a multiple of real time, with the file sizes.
#
#   bench/backup_speed.sh [BUILD_DIR] [MINUTES]
#
# Two runs: the simulator encoding every picture with x264 (its encoder is the limit), and
# the simulator repeating one encoded second (--repeat-archive-second), which shows what the
# control's path takes. The second line of each run holds the transport's counters: records
# lost or reordered past the reorder table show there.
set -eu
BUILD=${1:-build}
MINUTES=${2:-10}
BIN=$BUILD/bin
OUT=$(mktemp -d)
trap 'kill $SIM 2>/dev/null || true; rm -rf "$OUT"' EXIT

DAY=$(date -d yesterday +%Y/%m/%d)
FROM="$DAY 12:00:00"
TO=$(date -d "$(date -d yesterday +%Y-%m-%d) 12:00:00 $MINUTES minutes" "+%Y/%m/%d %H:%M:%S")
WINDOW=$((MINUTES * 60))

run() {
  label=$1
  shift
  "$BIN/tessomar-dvrsim" --listen 127.0.0.1:0 "$@" >"$OUT/sim.log" 2>&1 &
  SIM=$!
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    grep -q DVR_UK= "$OUT/sim.log" && break
    sleep 0.2
  done
  addr=$(sed -n 's/^listening on //p' "$OUT/sim.log")
  uk=$(sed -n 's/^DVR_UK=//p' "$OUT/sim.log")
  start=$(date +%s.%N)
  TESSOMAR_LOG=1 "$BIN/tessomar-cli" backup --dvr "$addr" --uk "$uk" --channel 1 \
    --from "$FROM" --to "$TO" --out "$OUT/$label.mov" >"$OUT/cli.out" 2>"$OUT/cli.err" || true
  end=$(date +%s.%N)
  kill $SIM 2>/dev/null || true
  wait $SIM 2>/dev/null || true
  bytes=$(sed -n 's/.*bytes=\([0-9]*\).*/\1/p' "$OUT/cli.out" | paste -sd+ | bc)
  echo "$label: $WINDOW s of D1 in $(echo "$end - $start" | bc) s =" \
    "$(echo "scale=1; $WINDOW / ($end - $start)" | bc)x real time, $(grep -c '^file=' "$OUT/cli.out")" \
    "file(s), $bytes bytes, $(sed -n 's/^result=//p' "$OUT/cli.out")"
  grep '^records=' "$OUT/cli.err" | sed 's/^/  /'
}

run encoded
run repeated --repeat-archive-second
