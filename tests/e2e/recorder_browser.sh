#!/usr/bin/env bash
# recorder_browser.sh RECORDER TEST_SERVER NODE_DIR SCREENSHOT: rtsp-recorder
# with two GStreamer test cameras (one behind Digest authentication) and its
# page behind Basic authentication, watched by headless Chromium
# (recorder_browser.js, with puppeteer-core installed into NODE_DIR by npm):
# both cameras play live, a killed camera shows reconnecting and comes back,
# a recording plays; /metrics is parsed by prometheus_client and checked
# against /api/cameras; SIGTERM closes every segment within 2 s and every
# segment decodes. Saves the page's screenshot to SCREENSHOT.
set -uo pipefail
RECORDER="$1" SERVER_SCRIPT="$2" NODE_DIR="$3" SCREENSHOT="$4"
HERE="$(cd "$(dirname "$0")" && pwd)"
WORK="$(mktemp -d /tmp/rtsp-recorder-e2e.XXXXXX)"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}" $(cat "$WORK/restarted.pid" 2>/dev/null); do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err; do [ -s "$f" ] && { echo "--- $f"; tail -n 40 "$f"; } >&2; done
  exit 1
}
skip() { echo "SKIP: $*"; exit 77; }
CHROMIUM="$(command -v chromium || true)"
[ -n "$CHROMIUM" ] || skip "chromium is not installed (scripts/install-deps.sh installs it)"
command -v npm >/dev/null && command -v node >/dev/null || skip "node and npm are not installed"
/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || skip "python3-prometheus-client missing"
command -v ffprobe >/dev/null || skip "ffmpeg is not installed"

# puppeteer-core, pinned, once per build directory.
if [ ! -d "$NODE_DIR/node_modules/puppeteer-core" ]; then
  mkdir -p "$NODE_DIR"
  timeout 300 npm install --prefix "$NODE_DIR" --no-audit --no-fund --silent \
    puppeteer-core@25.19.0 >"$WORK/npm.err" 2>&1 || fail "npm install puppeteer-core failed"
fi

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
start_camera gate --width 320 --height 240
start_camera yard --width 352 --height 288 --auth digest --user viewer --password 's3cret'
kill -0 "$PID_gate" 2>/dev/null || { wait "$PID_gate"; [ $? -eq 77 ] && skip "GStreamer missing"; }

export YARD_PASSWORD='s3cret'
cat >"$WORK/cams.toml" <<TOML
[server]
listen = "127.0.0.1:0"
user = "admin"
password = "page-pass"

[store]
root = "$WORK/store"
max_bytes = "200M"

[[camera]]
name = "gate"
url = "rtsp://127.0.0.1:$PORT_gate/test"
segment_seconds = 2

[[camera]]
name = "yard"
url = "rtsp://127.0.0.1:$PORT_yard/test"
user = "viewer"
password_env = "YARD_PASSWORD"
segment_seconds = 2
TOML
"$RECORDER" --config "$WORK/cams.toml" 2>"$WORK/recorder.err" &
RECORDER_PID=$!
PIDS+=($RECORDER_PID)
await "the recorder's address" grep -qs "serving http://" "$WORK/recorder.err"
URL="$(grep -o 'http://[0-9.:]*/' "$WORK/recorder.err" | head -n 1)"
code="$(curl -s -o /dev/null -w '%{http_code}' "$URL")"
[ "$code" = 401 ] || fail "the page without credentials answered $code, not 401"
[ "$(curl -s "${URL}healthz")" = ok ] || fail "/healthz is not ok"

cat >"$WORK/browser.json" <<JSON
{"url": "$URL", "user": "admin", "password": "page-pass", "chromium": "$CHROMIUM",
 "screenshot": "$SCREENSHOT", "snapshotDir": "$WORK",
 "cameras": [{"name": "gate", "width": 320, "height": 240},
             {"name": "yard", "width": 352, "height": 288}],
 "kill": {"name": "gate", "pid": $PID_gate, "pidFile": "$WORK/restarted.pid",
          "restart": ["/usr/bin/python3", "$SERVER_SCRIPT", "$PORT_gate", "--lifetime", "400",
                      "--width", "320", "--height", "240"]}}
JSON
NODE_PATH="$NODE_DIR/node_modules" timeout 540 node "$HERE/recorder_browser.js" "$WORK/browser.json" \
  2>"$WORK/browser.err" || fail "the browser test failed: $(cat "$WORK/browser.err")"
/usr/bin/python3 "$HERE/recorder_metrics.py" "$WORK/metrics.txt" "$WORK/cameras.json" gate yard \
  2>"$WORK/metrics.err" || fail "/metrics: $(cat "$WORK/metrics.err")"
grep -q "camera gate: .*Trying again" "$WORK/recorder.err" || fail "no reconnection logged for gate"

# SIGTERM: every segment closed within 2 s, and every segment decodes.
start=$(date +%s%N)
kill -TERM "$RECORDER_PID"
timeout 10 tail --pid="$RECORDER_PID" -s 0.05 -f /dev/null || fail "still running 10 s after SIGTERM"
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
wait "$RECORDER_PID"
rc=$?
[ "$rc" -eq 0 ] || fail "status $rc after SIGTERM"
[ "$elapsed_ms" -lt 2000 ] || fail "SIGTERM took $elapsed_ms ms"
grep -q "every segment is closed" "$WORK/recorder.err" || fail "no clean stop logged"
for camera in gate yard; do
  count=0
  for f in "$WORK/store/$camera"/*.mp4; do
    errors="$(ffmpeg -v error -i "$f" -f null - 2>&1)"
    [ -z "$errors" ] || fail "$f does not decode: $errors"
    count=$((count + 1))
  done
  [ "$count" -ge 2 ] || fail "$camera: only $count segments"
done
echo "rtsp-recorder browser test passed (SIGTERM to exit: $elapsed_ms ms)"
