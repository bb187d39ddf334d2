#!/usr/bin/env bash
# End-to-end checks against GStreamer's RTSP server on 127.0.0.1.
#   rtsp_pull_e2e.sh PROGRAM TEST_SERVER CASE
# PROGRAM is rtsp-pull, except for CASE interop. CASE:
#   decode   pull 4 s; ffmpeg decodes the file without error, enough frames
#            at the server's resolution, every SPS in the file equals the
#            announced one, the rtpdump file is well formed
#   signal   SIGINT ends the pull with status 0 and a TEARDOWN on the wire
#   failures refused connection, unknown path (404) and bad URL
#   ended    the server goes away: status 3
#   interop  PROGRAM is the library's interop test, given the server's port
#            and request log in RTSPPULL_INTEROP_PORT and RTSPPULL_INTEROP_LOG
# Exit 77 (skipped) when GStreamer or ffmpeg is missing. Every process started
# here is ended by its PID on exit.
set -uo pipefail

PROG="$1"
SERVER_SCRIPT="$2"
CASE="$3"
WORK="$(mktemp -d /tmp/rtsp-pull-e2e.XXXXXX)"
SERVER_PID=""
PULL_PID=""

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
  for f in "$WORK"/*.err "$WORK"/requests.log; do
    [ -s "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }
  done
  exit 1
}

# start_server LIFETIME: sets PORT and SERVER_PID.
start_server() {
  /usr/bin/python3 "$SERVER_SCRIPT" 0 --lifetime "$1" --log-requests "$WORK/requests.log" \
    >"$WORK/port" 2>"$WORK/server.err" &
  SERVER_PID=$!
  for _ in $(seq 300); do
    PORT="$(head -n 1 "$WORK/port" 2>/dev/null)"
    [ -n "$PORT" ] && return 0
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then
      wait "$SERVER_PID"
      local rc=$?
      SERVER_PID=""
      [ "$rc" -eq 77 ] && { echo "SKIP: $(cat "$WORK/server.err")"; exit 77; }
      fail "the test server exited with status $rc"
    fi
    sleep 0.1
  done
  fail "the test server did not report its port"
}

# expect_status STATUS WHAT TEXT ARGS...: runs rtsp-pull -q ARGS, which must
# exit with STATUS and say TEXT on stderr.
expect_status() {
  local status="$1" what="$2" text="$3" rc
  shift 3
  "$PROG" -q "$@" 2>"$WORK/out.err"
  rc=$?
  [ "$rc" -eq "$status" ] || fail "$what: status $rc"
  grep -qF "$text" "$WORK/out.err" || fail "$what: $(cat "$WORK/out.err")"
}

[ -x /usr/bin/python3 ] || { echo "SKIP: /usr/bin/python3 missing"; exit 77; }

case "$CASE" in
decode)
  command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null ||
    { echo "SKIP: ffmpeg is not installed"; exit 77; }
  start_server 60
  "$PROG" -v -t 4 -o "$WORK/out.h264" --rtpdump "$WORK/out.rtpdump" \
    "rtsp://127.0.0.1:$PORT/test" 2>"$WORK/pull.err" || fail "rtsp-pull exited with $?"
  ffmpeg -nostdin -v error -i "$WORK/out.h264" -f null - >"$WORK/ffmpeg.err" 2>&1 ||
    fail "ffmpeg could not decode the output"
  [ -s "$WORK/ffmpeg.err" ] && fail "ffmpeg reported errors"
  probe="$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$WORK/out.h264")"
  # 4 s at 30 frames a second, less up to one second waiting for a keyframe
  # and some slack for a loaded machine.
  IFS=, read -r codec width height frames <<<"$probe"
  [ "$codec,$width,$height" = h264,320,240 ] && [ "${frames:-0}" -ge 60 ] ||
    fail "ffprobe: $probe"
  /usr/bin/python3 - "$WORK/out.h264" "$WORK/pull.err" "$WORK/out.rtpdump" <<'EOF' || fail "stream check"
import base64, re, struct, sys
stream = open(sys.argv[1], "rb").read()
transcript = open(sys.argv[2], encoding="latin-1").read()
m = re.search(r"sprop-parameter-sets=([A-Za-z0-9+/=]+),", transcript)
assert m, "no sprop-parameter-sets in the RTSP exchange"
announced = base64.b64decode(m.group(1))
assert stream.startswith(b"\x00\x00\x00\x01" + announced), "the file does not start with the SPS"
sps = [u for u in stream.split(b"\x00\x00\x00\x01") if u and u[0] & 0x1F == 7]
assert len(sps) >= 2, "no SPS inside the stream besides the announced one"
assert all(u == announced for u in sps), "an SPS in the stream differs from the announced one"
dump = open(sys.argv[3], "rb").read()
head, _, rest = dump.partition(b"\n")
assert head.startswith(b"#!rtpplay1.0 127.0.0.1/"), head
pos, count = 16, 0
while pos < len(rest):
    length, plen, _ = struct.unpack_from(">HHI", rest, pos)
    assert length == plen + 8 and rest[pos + 8] >> 6 == 2, "bad rtpdump record"
    pos += length
    count += 1
assert pos == len(rest) and count > 100, f"{count} rtpdump records"
EOF
  ;;
signal)
  start_server 60
  "$PROG" -o "$WORK/out.h264" "rtsp://127.0.0.1:$PORT/test" 2>"$WORK/pull.err" &
  PULL_PID=$!
  sleep 3
  kill -INT "$PULL_PID"
  wait "$PULL_PID"
  rc=$?
  PULL_PID=""
  [ "$rc" -eq 0 ] || fail "rtsp-pull exited with $rc after SIGINT"
  grep -q "stopped by signal" "$WORK/pull.err" || fail "no summary"
  for _ in $(seq 20); do grep -q '^TEARDOWN ' "$WORK/requests.log" && break; sleep 0.1; done
  tail -n 1 "$WORK/requests.log" | grep -q "^TEARDOWN Rtsp://127.0.0.1:$PORT/test RTSP/1.0" ||
    fail "no TEARDOWN reached the server"
  [ -s "$WORK/out.h264" ] || fail "nothing written"
  ;;
failures)
  start_server 60
  closed="$(/usr/bin/python3 -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  expect_status 1 "refused connection" "connection refused" "rtsp://127.0.0.1:$closed/test"
  expect_status 1 "wrong path" 'refused DESCRIBE: "RTSP/1.0 404 Not Found"' \
    "rtsp://127.0.0.1:$PORT/no-such-stream"
  expect_status 2 "bad URL" "must start with rtsp://" "http://127.0.0.1:$PORT/test"
  ;;
ended)
  start_server 4
  start=$(date +%s)
  "$PROG" -t 30 -o "$WORK/out.h264" "rtsp://127.0.0.1:$PORT/test" 2>"$WORK/pull.err"
  rc=$?
  [ "$rc" -eq 3 ] || fail "status $rc when the server went away"
  [ $(($(date +%s) - start)) -lt 20 ] || fail "the end of the stream was noticed late"
  ;;
interop)
  start_server 60
  RTSPPULL_INTEROP_PORT="$PORT" RTSPPULL_INTEROP_LOG="$WORK/requests.log" "$PROG" ||
    fail "the interop test failed"
  ;;
*)
  echo "unknown case $CASE" >&2
  exit 2
  ;;
esac
echo "PASS: $CASE"
