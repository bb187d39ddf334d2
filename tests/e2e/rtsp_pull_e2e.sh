#!/usr/bin/env bash
# rtsp_pull_e2e.sh PROGRAM TEST_SERVER CASE: runs PROGRAM (rtsp-pull, or the
# interop test for CASE interop) against GStreamer's RTSP server on 127.0.0.1.
# Exit 77 (skipped) when GStreamer or ffmpeg is missing.
set -uo pipefail
PROG="$1" CASE="$3" WORK="$(mktemp -d /tmp/rtsp-pull-e2e.XXXXXX)" SERVER_PID="" PULL_PID=""
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
/usr/bin/python3 "$2" 0 --lifetime 60 --log-requests "$WORK/requests.log" >"$WORK/port" \
  2>"$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 300); do
  PORT="$(head -n 1 "$WORK/port")" && [ -n "$PORT" ] && break
  if ! kill -0 "$SERVER_PID" 2>/dev/null; then
    wait "$SERVER_PID"
    [ $? -eq 77 ] && SERVER_PID="" && skip "$(cat "$WORK/server.err")"
    fail "the test server exited"
  fi
  sleep 0.1
done
[ -n "$PORT" ] || fail "the test server did not report its port"
URL="rtsp://127.0.0.1:$PORT/test"

case "$CASE" in
decode)  # 4 s at 30 frames a second, less up to a second waiting for a keyframe
  command -v ffprobe >/dev/null || skip "ffmpeg is not installed"
  "$PROG" -v -t 4 -o "$WORK/out.h264" "$URL" 2>"$WORK/pull.err" || fail "rtsp-pull: $?"
  IFS=, read -r codec width height frames < <(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$WORK/out.h264")
  [ "$codec,$width,$height" = h264,320,240 ] && [ "${frames:-0}" -ge 60 ] ||
    fail "$codec,$width,$height,$frames"
  sps="$(grep -om1 'sprop-parameter-sets=[^,]*' "$WORK/pull.err" | cut -d= -f2)"
  { printf '\0\0\0\1' && base64 -d <<<"$sps"; } >"$WORK/sps"
  [ -n "$sps" ] && cmp -n "$(stat -c %s "$WORK/sps")" "$WORK/sps" "$WORK/out.h264" ||
    fail "the stream does not start with the announced SPS"
  ;;
signal)
  "$PROG" -o "$WORK/out.h264" "RTSP://127.0.0.1:$PORT/test#cut" 2>"$WORK/pull.err" &
  PULL_PID=$!
  sleep 3
  kill -INT "$PULL_PID" && wait "$PULL_PID"
  rc=$? PULL_PID=""
  [ "$rc" -eq 0 ] && [ -s "$WORK/out.h264" ] || fail "status $rc after SIGINT"
  for _ in $(seq 20); do grep -q '^TEARDOWN ' "$WORK/requests.log" && break; sleep 0.1; done
  tail -n 1 "$WORK/requests.log" | grep -q "^TEARDOWN Rtsp://127.0.0.1:$PORT/test RTSP/1.0" ||
    fail "no TEARDOWN reached the server"
  ;;
failures)  # status|text|URL: rtsp-pull must exit with the status and say the text
  closed="$(/usr/bin/python3 -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  for row in "1|connection refused|rtsp://127.0.0.1:$closed/test" \
    "1|refused DESCRIBE: \"RTSP/1.0 404 Not Found\"|${URL}-missing" \
    "2|must start with rtsp://|http://127.0.0.1:$PORT/test" \
    "2|credentials|rtsp://user:pw@127.0.0.1:$PORT/test" "2|white space|$URL x" \
    "2|port must be|rtsp://127.0.0.1:65536/test"; do
    IFS='|' read -r status text url <<<"$row"
    "$PROG" -q "$url" 2>"$WORK/out.err"
    rc=$?
    [ "$rc" -eq "$status" ] && grep -qF "$text" "$WORK/out.err" || fail "$url: status $rc"
  done
  ;;
interop) RTSPPULL_INTEROP_PORT="$PORT" "$PROG" || fail "the interop test failed" ;;
*) fail "unknown case $CASE" ;;
esac
echo "PASS: $CASE"
