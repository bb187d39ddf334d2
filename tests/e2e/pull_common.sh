# shellcheck shell=bash
# Sourced by the rtsp-pull e2e scripts (SERVER_SCRIPT set): a work directory
# removed at exit together with the processes started here, failing with the
# logs, skipping (77), waiting on an event with a deadline, the test server,
# and ffmpeg's frame count and decode check.
WORK="$(mktemp -d /tmp/rtsp-pull-e2e.XXXXXX)"
cleanup() {  # jobs -p: the processes started here and not yet waited for
  for pid in $(jobs -p); do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
# fail WHY: every log from its start (a pull's opens with the exchange that
# chose its transport), then what on_fail adds when a script defines it.
fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err "$WORK"/*.log; do [ -s "$f" ] && { echo "--- $f"; head -c 20000 "$f"; } >&2; done
  declare -F on_fail >/dev/null && on_fail >&2
  exit 1
}
skip() { echo "SKIP: $*" && exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }  # need COMMAND
need /usr/bin/python3
# await WHAT PID COMMAND...: waits up to 60 s until COMMAND succeeds; fails at
# once when process PID ends (skips when it ended with 77).
await() {
  local deadline=$((SECONDS + 60)) rc
  until "${@:3}"; do
    if ! kill -0 "$2" 2>/dev/null; then
      wait "$2"
      rc=$?
      [ "$rc" -eq 77 ] && skip "$(cat "$WORK"/*.err)"
      fail "$1: the process ended with status $rc"
    fi
    [ "$SECONDS" -lt "$deadline" ] || fail "$1: not within 60 s"
    sleep 0.2
  done
}
# start_server NAME PORT [ARGS...]: the test server on PORT (0: a free one),
# its messages in $WORK/NAME.err; sets SERVER_PID and PORT (and PORT_NAME).
start_server() {
  /usr/bin/python3 "$SERVER_SCRIPT" "$2" --lifetime 300 "${@:3}" >"$WORK/$1.port" 2>"$WORK/$1.err" &
  SERVER_PID=$!
  await "the $1 server's port" "$SERVER_PID" test -s "$WORK/$1.port"
  PORT="$(head -n 1 "$WORK/$1.port")"
  printf -v "PORT_$1" '%s' "$PORT"
}
# probe FILE ENTRIES: ffprobe's values of the first video stream, one a line.
probe() { ffprobe -v error -count_frames -select_streams v:0 -show_entries "$2" -of csv=p=0 "$1"; }
# frames FILE: how many frames of FILE decode (0 while there is no video yet).
frames() { grep -xE '[0-9]+' <(probe "$1" stream=nb_read_frames 2>/dev/null) || echo 0; }
has_frames() { [ "$(frames "$1")" -ge "$2" ]; }  # has_frames FILE MIN
# decodes FILE MIN_FRAMES: ffmpeg decodes FILE without a message, into at least MIN_FRAMES frames.
decodes() {
  local errors
  errors="$(ffmpeg -v error -i "$1" -f null - 2>&1)"
  [ -z "$errors" ] || fail "$1 does not decode: $errors"
  has_frames "$1" "$2" || fail "$1: only $(frames "$1") frames decode"
}
