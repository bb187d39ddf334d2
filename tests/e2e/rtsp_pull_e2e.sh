#!/usr/bin/env bash
# rtsp_pull_e2e.sh PROGRAM TEST_SERVER CASE: runs PROGRAM (rtsp-pull, or the
# interop test for CASE interop) against GStreamer's RTSP server on 127.0.0.1.
# Exit 77 (skipped) when GStreamer or ffmpeg is missing.
set -uo pipefail
PROG="$1" SERVER_SCRIPT="$2" CASE="$3"
WORK="$(mktemp -d /tmp/rtsp-pull-e2e.XXXXXX)"
SERVER_PID="" PULL_PID=""

cleanup() {
  [ -n "$PULL_PID" ] && kill "$PULL_PID" 2>/dev/null && wait "$PULL_PID" 2>/dev/null
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null
    for _ in $(seq 30); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$SERVER_PID" 2>/dev/null
    wait "$SERVER_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err "$WORK"/requests.log; do [ -s "$f" ] && tail -n 40 "$f" >&2; done
  exit 1
}

skip() { echo "SKIP: $*"; exit 77; }

start_server() {  # sets PORT
  /usr/bin/python3 "$SERVER_SCRIPT" 0 --lifetime 60 --log-requests "$WORK/requests.log" \
    >"$WORK/port" 2>"$WORK/server.err" &
  SERVER_PID=$!
  for _ in $(seq 300); do
    PORT="$(head -n 1 "$WORK/port" 2>/dev/null)"
    [ -n "$PORT" ] && return 0
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then
      wait "$SERVER_PID"
      local rc=$?
      SERVER_PID=""
      [ "$rc" -eq 77 ] && skip "$(cat "$WORK/server.err")"
      fail "the test server exited with status $rc"
    fi
    sleep 0.1
  done
  fail "the test server did not report its port"
}

expect_status() {  # STATUS TEXT URL: rtsp-pull must exit with STATUS and say TEXT
  "$PROG" -q "$3" 2>"$WORK/out.err"
  local rc=$?
  [ "$rc" -eq "$1" ] && grep -qF "$2" "$WORK/out.err" || fail "$3: status $rc"
}

[ -x /usr/bin/python3 ] || skip "/usr/bin/python3 missing"
start_server
URL="rtsp://127.0.0.1:$PORT/test"
case "$CASE" in
decode)
  command -v ffprobe >/dev/null || skip "ffmpeg is not installed"
  "$PROG" -v -t 4 -o "$WORK/out.h264" "$URL" 2>"$WORK/pull.err" || fail "rtsp-pull: $?"
  probe="$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$WORK/out.h264")"
  # 4 s at 30 frames a second, less up to a second waiting for a keyframe.
  IFS=, read -r codec width height frames <<<"$probe"
  [ "$codec,$width,$height" = h264,320,240 ] && [ "${frames:-0}" -ge 60 ] || fail "$probe"
  /usr/bin/python3 - "$WORK/out.h264" "$WORK/pull.err" <<'EOF' || fail "SPS check"
import base64, re, sys
stream = open(sys.argv[1], "rb").read()
log = open(sys.argv[2], encoding="latin-1").read()
announced = base64.b64decode(re.search(r"sprop-parameter-sets=([A-Za-z0-9+/=]+),", log)[1])
sps = [u for u in stream.split(b"\x00\x00\x00\x01") if u and u[0] & 0x1F == 7]
assert stream.startswith(b"\x00\x00\x00\x01" + announced)
assert len(sps) >= 2 and all(u == announced for u in sps), "an SPS differs from the announced one"
EOF
  ;;
signal)
  "$PROG" -o "$WORK/out.h264" "$URL" 2>"$WORK/pull.err" &
  PULL_PID=$!
  sleep 3
  kill -INT "$PULL_PID"
  wait "$PULL_PID"
  rc=$?
  PULL_PID=""
  [ "$rc" -eq 0 ] && [ -s "$WORK/out.h264" ] || fail "status $rc after SIGINT"
  for _ in $(seq 20); do grep -q '^TEARDOWN ' "$WORK/requests.log" && break; sleep 0.1; done
  tail -n 1 "$WORK/requests.log" | grep -q "^TEARDOWN Rtsp://127.0.0.1:$PORT/test RTSP/1.0" ||
    fail "no TEARDOWN reached the server"
  ;;
failures)
  closed="$(/usr/bin/python3 -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  expect_status 1 "connection refused" "rtsp://127.0.0.1:$closed/test"
  expect_status 1 'refused DESCRIBE: "RTSP/1.0 404 Not Found"' "${URL}-missing"
  expect_status 2 "must start with rtsp://" "http://127.0.0.1:$PORT/test"
  ;;
interop)
  RTSPPULL_INTEROP_PORT="$PORT" RTSPPULL_INTEROP_LOG="$WORK/requests.log" "$PROG" ||
    fail "the interop test failed"
  ;;
*) fail "unknown case $CASE" ;;
esac
echo "PASS: $CASE"
