# shellcheck shell=bash
# Sourced by the rtsp-recorder e2e scripts (RECORDER and SERVER_SCRIPT set): a work directory
# removed at exit together with the processes started here, failing with the logs' tails,
# skipping (77), waiting on a condition, test cameras, the recorder and the decode check.
WORK="$(mktemp -d /tmp/rtsp-recorder-e2e.XXXXXX)"
PIDS=() RECORDER_PID="" MOUNTED=""
cleanup() {
  for pid in "${PIDS[@]}" $RECORDER_PID $(cat "$WORK"/*.pid 2>/dev/null); do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  [ -n "$MOUNTED" ] && umount "$MOUNTED"
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err; do [ -s "$f" ] && { echo "--- $f"; tail -n 40 "$f"; } >&2; done
  exit 1
}
skip() { echo "SKIP: $*"; exit 77; }
# await WHAT COMMAND...: waits up to 60 s for COMMAND to succeed.
await() {
  local deadline=$((SECONDS + 60))
  until "${@:2}"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "$1: not within 60 s"
    sleep 0.2
  done
}
# start_camera NAME ARGS...: a test server on a free port; sets PORT_NAME and PID_NAME.
start_camera() {
  /usr/bin/python3 "$SERVER_SCRIPT" 0 --lifetime 400 "${@:2}" >"$WORK/$1.port" 2>"$WORK/$1.err" &
  PIDS+=($!)
  printf -v "PID_$1" '%s' "$!"
  await "camera $1's port" test -s "$WORK/$1.port"
  grep -qx 77 "$WORK/$1.port" && skip "GStreamer's RTSP server is missing"
  printf -v "PORT_$1" '%s' "$(head -n 1 "$WORK/$1.port")"
}
logged() { grep -qs "$1" "$WORK/recorder.err"; }
# start_recorder CONFIG: sets RECORDER_PID and URL, the page's address.
start_recorder() {
  # Emptied before the start: a redirection is made by the child, which a busy machine may run
  # late, and the address must not come from the previous recorder's log.
  : >"$WORK/recorder.err"
  "$RECORDER" --config "$1" 2>>"$WORK/recorder.err" &
  RECORDER_PID=$!
  await "the recorder's address" logged "serving http://"
  URL="$(grep -o 'http://[0-9.:]*/' "$WORK/recorder.err" | head -n 1)"
}
# stop_recorder WHAT: SIGTERM, after which the recorder must end within 10 s with status 0.
stop_recorder() {
  kill -TERM "$RECORDER_PID"
  timeout 10 tail --pid="$RECORDER_PID" -s 0.05 -f /dev/null || fail "$1: running 10 s after SIGTERM"
  wait "$RECORDER_PID" || fail "$1: status $? after SIGTERM"
  RECORDER_PID=""
}
# all_decode DIR WHAT [STREAMS]: every segment in DIR decodes without an error (and has streams
# of the types STREAMS, sorted, such as "audio video "); sets SEGMENTS to their count.
all_decode() {
  SEGMENTS=0
  for f in "$1"/*.mp4; do
    errors="$(ffmpeg -v error -i "$f" -f null - 2>&1)"
    [ -z "$errors" ] || fail "$2: $f does not decode: $errors"
    streams="$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$f" | sort | tr '\n' ' ')"
    [ -z "${3:-}" ] || [ "$streams" = "$3" ] || fail "$2: $f has streams $streams, not $3"
    SEGMENTS=$((SEGMENTS + 1))
  done
}
