#!/usr/bin/env bash
# recorder_disk_full.sh RECORDER TEST_SERVER: rtsp-recorder on a small tmpfs
# that a filler file makes full, twice: with min_free (writing stops before
# the disk is full, with a message, and resumes when space returns) and
# without (a write fails on a full disk; the segment is trimmed to its last
# whole fragment). Every segment must decode afterwards. Skipped (77) where
# a tmpfs cannot be mounted or GStreamer or ffmpeg is missing.
set -uo pipefail
RECORDER="$1" SERVER_SCRIPT="$2"
WORK="$(mktemp -d /tmp/rtsp-recorder-disk.XXXXXX)"
DISK="$WORK/disk" SERVER_PID="" RECORDER_PID="" MOUNTED=""
cleanup() {
  for pid in $RECORDER_PID $SERVER_PID; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  [ -n "$MOUNTED" ] && umount "$DISK"
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err; do [ -s "$f" ] && { echo "--- $f"; tail -n 30 "$f"; } >&2; done
  exit 1
}
skip() { echo "SKIP: $*"; exit 77; }
command -v ffmpeg >/dev/null || skip "ffmpeg is not installed"
mkdir -p "$DISK"
mount -t tmpfs -o size=4m tmpfs "$DISK" 2>/dev/null || skip "cannot mount a tmpfs here"
MOUNTED=1
await() {  # await WHAT COMMAND...: up to 60 s
  local deadline=$((SECONDS + 60))
  until "${@:2}"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "$1: not within 60 s"
    sleep 0.2
  done
}
/usr/bin/python3 "$SERVER_SCRIPT" 0 --lifetime 300 >"$WORK/port" 2>"$WORK/server.err" &
SERVER_PID=$!
await "the server's port" test -s "$WORK/port"
grep -qx 77 "$WORK/port" && skip "GStreamer's RTSP server is missing"
PORT="$(head -n 1 "$WORK/port")"
logged() { grep -qs "$1" "$WORK/recorder.err"; }
state_is() { curl -s "${URL}api/cameras" | grep -q "\"state\":\"$1\""; }
segments() { find "$DISK/cam" -name '*.mp4' 2>/dev/null | wc -l; }
more_segments_than() { [ "$(segments)" -gt "$1" ]; }
all_decode() {
  for f in "$DISK"/cam/*.mp4; do
    errors="$(ffmpeg -v error -i "$f" -f null - 2>&1)"
    [ -z "$errors" ] || fail "$1: $f does not decode: $errors"
  done
}
# run MIN_FREE: starts the recorder with that floor; sets URL.
run() {
  rm -rf "$DISK/cam" "$DISK/filler"
  printf '[server]\nlisten = "127.0.0.1:0"\n[store]\nroot = "%s"\nmin_free = "%s"\n[[camera]]\nname = "cam"\nurl = "rtsp://127.0.0.1:%s/test"\nsegment_seconds = 1\n' \
    "$DISK" "$1" "$PORT" >"$WORK/cams.toml"
  "$RECORDER" --config "$WORK/cams.toml" 2>"$WORK/recorder.err" &
  RECORDER_PID=$!
  await "the address" logged "serving http://"
  URL="$(grep -o 'http://[0-9.:]*/' "$WORK/recorder.err" | head -n 1)"
  await "two segments" more_segments_than 1
}
# fill LEAVE_KIB: a filler file leaves about that much free.
fill() {
  local free_kib
  free_kib=$(df -k --output=avail "$DISK" | tail -n 1)
  dd if=/dev/zero of="$DISK/filler" bs=1K count=$((free_kib - $1)) status=none 2>/dev/null
}
stop_recorder() {
  kill -TERM "$RECORDER_PID"
  wait "$RECORDER_PID" || fail "$1: status $? after SIGTERM"
  RECORDER_PID=""
}

# With a floor: writing stops, says so, and resumes.
run 1M
fill 600
await "the camera shows disk-full" state_is disk-full
logged "camera cam: the disk holding .* is full; recording stops until space returns" ||
  fail "no message for the full disk"
all_decode "while the disk is full"
before=$(segments)
rm -f "$DISK/filler"
await "writing resumes" logged "camera cam: space is back; recording resumes"
await "a new segment" more_segments_than "$before"
stop_recorder "with a floor"
all_decode "after resuming"

# Without a floor: a write fails on the full disk; nothing already written is damaged.
run 0
fill 0
await "the failed write" logged "camera cam: writing .* failed: No space left on device"
rm -f "$DISK/filler"
await "recording again" state_is recording
stop_recorder "without a floor"
all_decode "after a failed write"
echo "rtsp-recorder disk-full test passed"
