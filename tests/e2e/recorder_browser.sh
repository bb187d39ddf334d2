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
source "$HERE/recorder_common.sh"
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

start_camera gate --width 320 --height 240
start_camera yard --width 352 --height 288 --auth digest --user viewer --password 's3cret'

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
start_recorder "$WORK/cams.toml"
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
logged "camera gate: .*Trying again" || fail "no reconnection logged for gate"

# SIGTERM: every segment closed within 2 s, and every segment decodes.
start=$(date +%s%N)
stop_recorder "SIGTERM"
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ "$elapsed_ms" -lt 2000 ] || fail "SIGTERM took $elapsed_ms ms"
logged "every segment is closed" || fail "no clean stop logged"
for camera in gate yard; do
  all_decode "$WORK/store/$camera" "after SIGTERM"
  [ "$SEGMENTS" -ge 2 ] || fail "$camera: only $SEGMENTS segments"
done
echo "rtsp-recorder browser test passed (SIGTERM to exit: $elapsed_ms ms)"
