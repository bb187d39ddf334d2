#!/usr/bin/env bash
# rtsp_pull_e2e.sh PROGRAM TEST_SERVER CASE: runs PROGRAM (rtsp-pull, or the
# interop test for CASE interop) against GStreamer's RTSP server on 127.0.0.1.
# Exit 77 (skipped) when GStreamer or ffmpeg is missing.
set -uo pipefail
PROG="$1" SERVER_SCRIPT="$2" CASE="$3" PORT="" SERVER_PID="" PULL_PID=""
WORK="$(mktemp -d /tmp/rtsp-pull-e2e.XXXXXX)"
cleanup() {  # the server also ends by itself after 60 s
  [ -n "$PULL_PID" ] && kill "$PULL_PID" 2>/dev/null
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err "$WORK"/requests.log; do [ -s "$f" ] && tail -n 40 "$f" >&2; done
  exit 1
}
skip() { echo "SKIP: $*" && exit 77; }
[ -x /usr/bin/python3 ] || skip "/usr/bin/python3 missing"
[[ "$CASE" =~ ^(signal|mp4-.*|segment|reconnect)$ ]] && ! command -v ffprobe >/dev/null &&
  skip "ffmpeg is not installed"
# start_server PORT [ARGS...]: starts the test server on PORT (0: a free one)
# and sets SERVER_PID and PORT.
start_server() {
  local want="$1"
  shift
  rm -f "$WORK/port"
  /usr/bin/python3 "$SERVER_SCRIPT" "$want" --lifetime 60 --log-requests "$WORK/requests.log" \
    "$@" >"$WORK/port" 2>>"$WORK/server.err" &
  SERVER_PID=$!
  for _ in $(seq 300); do
    PORT="$(head -n 1 "$WORK/port" 2>/dev/null)" && [ -n "$PORT" ] && return 0
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then
      wait "$SERVER_PID"
      [ $? -eq 77 ] && SERVER_PID="" && skip "$(cat "$WORK/server.err")"
      fail "the test server exited"
    fi
    sleep 0.1
  done
  fail "the test server did not report its port"
}
stop_server() { kill "$SERVER_PID" && wait "$SERVER_PID"; SERVER_PID=""; }
# probe FILE ENTRIES: ffprobe's values of the first video stream, one a line.
probe() { ffprobe -v error -count_frames -select_streams v:0 -show_entries "$2" -of csv=p=0 "$1"; }
# decodes FILE MIN_FRAMES: ffmpeg decodes FILE without a message, into at least MIN_FRAMES frames.
decodes() {
  local errors n
  errors="$(ffmpeg -v error -i "$1" -f null - 2>&1)"
  [ -z "$errors" ] || fail "$1 does not decode: $errors"
  n="$(probe "$1" stream=nb_read_frames)"
  [ "${n:-0}" -ge "$2" ] || fail "$1: only $n frames decode"
}
# interrupt SECONDS: sends SIGINT to the pull after SECONDS, waits for it and
# sets rc (its status) and ms (how long it took to end).
interrupt() {
  sleep "$1"
  local start="$(date +%s%N)"
  kill -INT "$PULL_PID" && wait "$PULL_PID"
  rc=$? PULL_PID="" ms=$((($(date +%s%N) - start) / 1000000))
}
# fails_with STATUS TEXT ARGS...: rtsp-pull ARGS exits with STATUS and says TEXT.
fails_with() {
  local status="$1" text="$2" rc
  shift 2
  "$PROG" "$@" 2>"$WORK/out.err"
  rc=$?
  [ "$rc" -eq "$status" ] && grep -qF -- "$text" "$WORK/out.err" || fail "$*: status $rc"
}
case "$CASE" in
mp4-h265) start_server 0 --codec h265 ;;
auth) start_server 0 --auth digest --user cam --password 'p@ss' ;;
transport) start_server 0 --protocols udp ;;
*) start_server 0 ;;
esac
URL="rtsp://127.0.0.1:$PORT/test"

case "$CASE" in
signal)  # Annex B until SIGINT: a TEARDOWN, status 0, a stream that decodes
  "$PROG" -o "$WORK/out.h264" "RTSP://127.0.0.1:$PORT/test#cut" 2>"$WORK/pull.err" &
  PULL_PID=$!
  interrupt 4
  [ "$rc" -eq 0 ] || fail "status $rc after SIGINT"
  for _ in $(seq 20); do grep -q '^TEARDOWN ' "$WORK/requests.log" && break; sleep 0.1; done
  tail -n 1 "$WORK/requests.log" | grep -qE "^TEARDOWN [Rr]tsp://127.0.0.1:$PORT/test/? RTSP/1.0" ||
    fail "no TEARDOWN reached the server"
  [ "$(probe "$WORK/out.h264" stream=codec_name,width,height)" = h264,320,240 ] || fail "not 320x240"
  decodes "$WORK/out.h264" 60
  ;;
failures)  # rtsp-pull exits with the status of the failure, says what it was, replaces no file
  closed="$(/usr/bin/python3 -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  fails_with 1 "connection refused" -q "rtsp://127.0.0.1:$closed/test"
  fails_with 1 'refused DESCRIBE: "RTSP/1.0 404 Not Found"' -q "${URL}-missing"
  fails_with 2 "port must be" -q "rtsp://127.0.0.1:65536/test" -o "$WORK/x"
  fails_with 2 "only one URL" "$URL" -q -o "$WORK/x" "$URL"
  for option in -o --rtpdump; do
    echo kept >"$WORK/kept"
    fails_with 1 "the file exists" -q -t 1 "$URL" "$option" "$WORK/kept"
    [ "$(cat "$WORK/kept")" = kept ] || fail "$option replaced an existing file"
  done
  ;;
mp4-h264 | mp4-h265)  # 6 s at 30 frames a second, after the first keyframe
  "$PROG" -t 6 "$URL" -o "$WORK/out.mp4" 2>"$WORK/pull.err" || fail "rtsp-pull: $?"
  IFS=, read -r codec rate n < <(probe "$WORK/out.mp4" stream=codec_name,avg_frame_rate,nb_read_frames)
  duration="$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$WORK/out.mp4")"
  [ "$codec" = "$(sed 's/mp4-//; s/h265/hevc/' <<<"$CASE")" ] || fail "codec $codec"
  [ "$rate" = 30/1 ] || fail "average frame rate $rate"
  decodes "$WORK/out.mp4" 150
  awk -v n="$n" -v d="$duration" 'BEGIN { x = d * 30 - n; exit !(x <= 1 && x >= -1) }' ||
    fail "$n frames do not last $duration s at 30 fps"
  ;;
segment)  # 7 s in 2 s segments: 3 or 4 files, each starting with a keyframe
  "$PROG" --segment 2 -t 7 -o "$WORK/seg.mp4" "$URL" 2>"$WORK/pull.err" || fail "rtsp-pull: $?"
  files=("$WORK"/seg-*.mp4)
  [ "${#files[@]}" -ge 3 ] && [ "${#files[@]}" -le 4 ] || fail "${#files[@]} segments"
  for f in "${files[@]}"; do
    first="$(ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 \
      -read_intervals '%+#1' "$f")"
    [ "${first:0:1}" = K ] || fail "$f does not start with a keyframe ($first)"
    decodes "$f" 1
  done
  ;;
auth)  # Digest: credentials in the URL (percent-encoded) or from the environment
  hostpath="127.0.0.1:$PORT/test"
  "$PROG" -q -t 1 "rtsp://cam:p%40ss@$hostpath" 2>"$WORK/pull.err" ||
    fail "credentials in the URL: status $?"
  RTSP_PASSWORD='p@ss' "$PROG" -q -t 1 --user cam "rtsp://$hostpath" 2>"$WORK/env.err" ||
    fail "password from RTSP_PASSWORD: status $?"
  fails_with 1 "authentication failed" -t 3 "rtsp://cam:wrong@$hostpath"
  ! grep -q "wrong" "$WORK/out.err" || fail "the message shows the password"
  ;;
transport)  # a server that sends over UDP only (udp_interop.sh records over UDP)
  fails_with 1 "try --transport udp or auto" -t 2 "$URL"
  ;;
reconnect)  # the server is killed and started again on the same port
  "$PROG" --reconnect -t 12 -o "$WORK/out.mp4" "$URL" 2>"$WORK/pull.err" &
  PULL_PID=$!
  sleep 3
  stop_server
  sleep 1
  start_server "$PORT"
  wait "$PULL_PID"
  rc=$? PULL_PID=""
  [ "$rc" -eq 0 ] || fail "status $rc"
  grep -q ", 1 reconnection (duration reached)" "$WORK/pull.err" ||
    fail "the summary shows no single reconnection"
  decodes "$WORK/out.mp4" 150
  ;;
gone)  # the server does not come back; Ctrl-C during the wait ends at once
  "$PROG" --reconnect -o "$WORK/out.h264" "$URL" 2>"$WORK/pull.err" &
  PULL_PID=$!
  sleep 2
  stop_server
  interrupt 2.5
  [ "$rc" -eq 0 ] || fail "status $rc after SIGINT"
  [ "$ms" -lt 1000 ] || fail "$ms ms from SIGINT to the exit"
  grep -q "Trying again in" "$WORK/pull.err" || fail "no retry was announced"
  ;;
interop)  # the program starts servers of its own (with credentials) from RTSPPULL_TEST_SERVER
  RTSPPULL_INTEROP_PORT="$PORT" RTSPPULL_TEST_SERVER="$2" "$PROG" || fail "the interop test failed" ;;
*) fail "unknown case $CASE" ;;
esac
echo "PASS: $CASE"
