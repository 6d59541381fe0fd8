#!/bin/sh
# CPU of the control per second of live video: tessomar-cli live on one D1 channel
# (704 x 576, 25 pictures a second) from tessomar-dvrsim on loopback, against the anchor
# `ffmpeg -threads 1` decoding the same stream (dumped by the control as it decoded it) and
# converting every picture to BGRA.
#
#   bench/live_cpu.sh [BUILD_DIR] [SECONDS]
#
# Four lines: the plain live view; the live view with the sound on (recorded to a WAV file)
# while a second control copies a backup of another camera from the same simulator (its
# CPU is given apart, it is another process); the anchor; and the anchor paced at the
# stream's own rate (-re), the like-for-like comparison for a live view. Each gives CPU
# seconds (user + system) per second of video shown, and the ratios to both anchors
# (goal: at or below 1.0). The control's time includes its start-up and connection (about
# 0.05 s of CPU); the key form is drawn as in every run (its time and status labels change
# every second).
set -eu
BUILD=${1:-build}
SECONDS_LIVE=${2:-20}
BIN=$BUILD/bin
OUT=$(mktemp -d)
SIM=
BACKUP=
cleanup() {
  [ -n "$BACKUP" ] && kill "$BACKUP" 2>/dev/null || true
  [ -n "$SIM" ] && kill "$SIM" 2>/dev/null || true
  rm -rf "$OUT"
}
trap cleanup EXIT

"$BIN/tessomar-dvrsim" --listen 127.0.0.1:0 >"$OUT/sim.log" 2>&1 &
SIM=$!
for _ in $(seq 50); do
  grep -q DVR_UK= "$OUT/sim.log" && break
  sleep 0.2
done
ADDR=$(sed -n 's/^listening on //p' "$OUT/sim.log")
UK=$(sed -n 's/^DVR_UK=//p' "$OUT/sim.log")

# The last line of /usr/bin/time's output (a line before it may say the command was stopped).
cpu_of() { tail -n 1 "$1" | awk '{ printf "%.3f", $1 + $2 }'; }
drawn_of() { sed -n 's/^drawn=//p' "$1"; }
per_second() { awk -v c="$1" -v f="$2" 'BEGIN { printf "%.4f", (f > 0 ? c / (f / 25) : 0) }'; }

# 1. Plain live view, dumping the stream for the anchor.
/usr/bin/time -f "%U %S" -o "$OUT/live.time" "$BIN/tessomar-cli" live --dvr "$ADDR" --uk "$UK" \
  --view 0 --seconds "$SECONDS_LIVE" --stats --dump-video "$OUT/live.h264" >"$OUT/live.out"
LIVE_CPU=$(cpu_of "$OUT/live.time")
LIVE_FRAMES=$(drawn_of "$OUT/live.out")
LIVE=$(per_second "$LIVE_CPU" "$LIVE_FRAMES")

# 2. Live view with sound, while another control runs a backup of camera 2.
DAY=$(date -d yesterday +%Y/%m/%d)
# The backup is stopped by timeout once the live view is done; time counts its CPU through it.
/usr/bin/time -f "%U %S" -o "$OUT/backup.time" timeout $((SECONDS_LIVE + 3)) \
  "$BIN/tessomar-cli" backup --dvr "$ADDR" \
  --uk "$UK" --channel 2 --from "$DAY 12:00:00" --to "$DAY 13:00:00" \
  --out "$OUT/backup.mov" >"$OUT/backup.out" 2>&1 &
BACKUP=$!
/usr/bin/time -f "%U %S" -o "$OUT/busy.time" "$BIN/tessomar-cli" live --dvr "$ADDR" --uk "$UK" \
  --view 0 --seconds "$SECONDS_LIVE" --stats --audio-wav "$OUT/live.wav" >"$OUT/busy.out"
wait "$BACKUP" 2>/dev/null || true
BACKUP=
BUSY_CPU=$(cpu_of "$OUT/busy.time")
BUSY_FRAMES=$(drawn_of "$OUT/busy.out")
BUSY=$(per_second "$BUSY_CPU" "$BUSY_FRAMES")
BACKUP_CPU=$(cpu_of "$OUT/backup.time")

# 3. The anchor on the same stream.
ANCHOR_FRAMES=$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries stream=nb_read_frames -of csv=p=0 "$OUT/live.h264")
/usr/bin/time -f "%U %S" -o "$OUT/ffmpeg.time" ffmpeg -nostdin -loglevel error -threads 1 \
  -i "$OUT/live.h264" -f rawvideo -pix_fmt bgra -y /dev/null
ANCHOR=$(per_second "$(cpu_of "$OUT/ffmpeg.time")" "$ANCHOR_FRAMES")
# The same work paced at the stream's own rate (-re), as a live view has to: short bursts
# 25 times a second find the caches cold, which costs a decoder about half as much again.
/usr/bin/time -f "%U %S" -o "$OUT/ffmpeg-paced.time" ffmpeg -nostdin -loglevel error -threads 1 \
  -re -i "$OUT/live.h264" -f rawvideo -pix_fmt bgra -y /dev/null
PACED=$(per_second "$(cpu_of "$OUT/ffmpeg-paced.time")" "$ANCHOR_FRAMES")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo "live D1, control:            $LIVE CPU s per s of video ($LIVE_FRAMES pictures in $LIVE_CPU s CPU), $(ratio "$LIVE" "$ANCHOR")x the anchor, $(ratio "$LIVE" "$PACED")x the paced anchor"
echo "live D1 + sound + backup:    $BUSY CPU s per s of video ($BUSY_FRAMES pictures in $BUSY_CPU s CPU), $(ratio "$BUSY" "$ANCHOR")x the anchor, $(ratio "$BUSY" "$PACED")x the paced anchor; the backup control took $BACKUP_CPU s CPU apart"
echo "anchor ffmpeg -threads 1:    $ANCHOR CPU s per s of video ($ANCHOR_FRAMES pictures decoded and converted to BGRA as fast as it can)"
echo "paced anchor, same with -re: $PACED CPU s per s of video (at the stream's rate)"
