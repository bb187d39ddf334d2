#!/usr/bin/env bash
# udp_interop.sh PROGRAM TEST_SERVER SERVER: pulls with PROGRAM (rtsp-pull)
# from a real RTSP server on 127.0.0.1 over UDP, and over UDP-then-TCP,
# and checks with ffprobe that what it wrote decodes. SERVER:
#   gstreamer  GStreamer's server offering UDP only, with a 2 s session
#              timeout (a pull of 300 frames, 10 s of a 30 fps stream, must
#              outlive it: receiver reports keep the session); then TCP only
#              (UDP-then-TCP gets 461, falls back); then both (UDP-then-TCP
#              keeps UDP)
#   vlc        VLC's RTSP output, looping a clip (run as nobody: VLC refuses root)
#   perl       the Perl RTSP server, with ffmpeg publishing into it
# Every step waits for an event (a port bound, a number of frames written),
# each wait bounded by a generous deadline, so a busy machine only makes it
# slower. Exit 77 (skipped) when the server, ffmpeg or ffprobe is missing.
set -uo pipefail
PROG="$1" SERVER_SCRIPT="$2" SERVER="$3"
source "$(dirname "$0")/pull_common.sh"
need ffmpeg
need ffprobe
# on_fail: who holds the Perl server's UDP ports.
on_fail() {
  [ -n "${RTP_PORT:-}" ] && command -v ss >/dev/null || return 0
  echo "== UDP sockets on ports $RTP_PORT to $((RTP_PORT + 7))"
  ss -uanp "( sport >= :$RTP_PORT and sport <= :$((RTP_PORT + 7)) )"
}
# bound tcp|udp PORT: a socket on 127.0.0.1 (or any address) has PORT bound,
# and listens if TCP; seen in /proc without connecting to it.
bound() {
  awk -v port="$(printf ':%04X' "$2")" -v tcp="$([ "$1" = tcp ] && echo 1)" \
    '($2 == "0100007F" port || $2 == "00000000" port) && (!tcp || $4 == "0A") { f = 1 }
     END { exit !f }' "/proc/net/$1"
}
# free_port: a TCP port free on 127.0.0.1 now.
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# reserve_udp_ports: sets RTP_PORT to a port P in 20000..29992, a multiple of
# 8, with P to P + 7 free for UDP on 127.0.0.1 now (the ephemeral range and
# rtsp-pull's own, from 30000, lie above). The Perl server binds P + 2 to
# P + 5 only at each pull's SETUP, seconds later, and does not notice when
# that fails (it then sends from a port the pull ignores): so the runs of this
# case take turns, holding a lock until their processes have ended.
reserve_udp_ports() {
  exec 9>"${TMPDIR:-/tmp}/rtsppull-udp-perl.lock"
  flock -w 100 9 || fail "another run of the Perl case holds its lock"
  RTP_PORT="$(/usr/bin/python3 -c 'import random, socket
while True:
    p, s = random.randrange(20000, 29993, 8), [socket.socket(type=socket.SOCK_DGRAM) for _ in range(8)]
    try: [x.bind(("127.0.0.1", p + i)) for i, x in enumerate(s)]
    except OSError: continue
    break
print(p)')"
}
# pull NAME TRANSPORT EXPECT FRAMES: a pull from $PORT that stops after FRAMES
# frames and must use EXPECT (UDP or TCP); then ffprobe on what was written.
pull() {
  # Bounded, so that a pull that gets no frames fails here with the logs,
  # not at the test's timeout without them; SIGINT lets it write its summary.
  timeout -s INT -k 10 90 "$PROG" -v -n "$4" --transport "$2" --format annexb -o "$WORK/$1.h264" \
    "rtsp://127.0.0.1:$PORT/test" 2>"$WORK/$1.log"
  local status=$? codec n
  [ "$status" -eq 124 ] && fail "$1: no $4 frames within 90 s"
  [ "$status" -eq 0 ] || fail "$1: the pull failed (status $status)"
  grep -q "^rtsp| Transport: $3" "$WORK/$1.log" || fail "$1: not over $3"
  IFS=, read -r codec n < <(probe "$WORK/$1.h264" stream=codec_name,nb_read_frames)
  [ "$codec" = h264 ] && [ "${n:-0}" -ge "$4" ] 2>/dev/null || fail "$1: ffprobe read \"$codec,$n\""
  echo "$1: ffprobe decoded $n frames"
}
# A 4 s H.264 clip (a keyframe every second) that VLC and ffmpeg can stream.
make_clip() {
  ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 4 -c:v libx264 \
    -profile:v baseline -pix_fmt yuv420p -g 25 -bf 0 "$WORK/clip.mp4" ||
    fail "ffmpeg could not make the clip"
  chmod 755 "$WORK" && chmod 644 "$WORK/clip.mp4"
}

case "$SERVER" in
gstreamer)
  start_server udp 0 --protocols udp --session-timeout 2
  pull gst-udp udp UDP 300
  grep -q expired "$WORK/udp.err" && fail "the server expired the session"
  start_server tcp 0 --protocols tcp
  pull gst-tcp-only auto TCP 40
  start_server all 0 --protocols all
  pull gst-all auto UDP 40
  ;;
vlc)
  need cvlc
  id nobody >/dev/null 2>&1 || skip "no user nobody to run VLC as"
  make_clip
  PORT="$(free_port)" AS_NOBODY=()
  [ "$(id -u)" -eq 0 ] && AS_NOBODY=(runuser -u nobody --)
  # gather: the RTP output (and the sessions on it) survives each loop of the clip.
  "${AS_NOBODY[@]}" cvlc -I dummy "$WORK/clip.mp4" --sout "#gather:rtp{sdp=rtsp://127.0.0.1:$PORT/test}" \
    --sout-keep --loop >"$WORK/vlc.err" 2>&1 &
  # Its port is bound before its stream is set up (DESCRIBE gets 500 till then).
  await "VLC's stream" $! timeout 30 ffprobe -v quiet "rtsp://127.0.0.1:$PORT/test"
  for mode in udp auto; do pull "vlc-$mode" $mode UDP 40; done
  ;;
perl)
  need rtsp-server-perl
  make_clip
  reserve_udp_ports
  PORT="$(free_port)" SOURCE_PORT="$(free_port)"
  # Its RTP ports count up from --rtp_start_port, by 2 for the published
  # stream and for each client. But whenever a connection closes while no
  # stream is published, it starts again at 20000, where another run may
  # hold them: so nothing connects to it before ffmpeg has published.
  rtsp-server-perl --clientport "$PORT" --serverport "$SOURCE_PORT" --rtp_start_port "$RTP_PORT" \
    --client_listen_address 127.0.0.1 --source_listen_address 127.0.0.1 >"$WORK/perl.err" 2>&1 &
  await "the Perl server's source port" $! bound tcp "$SOURCE_PORT"
  ffmpeg -v error -re -stream_loop -1 -i "$WORK/clip.mp4" -c copy -f rtsp \
    "rtsp://127.0.0.1:$SOURCE_PORT/test" >"$WORK/ffmpeg.err" 2>&1 &
  # The server binds the stream's RTP port when it accepts ffmpeg's RECORD.
  await "ffmpeg's published stream" $! bound udp "$RTP_PORT"
  for mode in udp auto; do pull "perl-$mode" $mode UDP 40; done
  ;;
*) fail "unknown server $SERVER" ;;
esac
echo "PASS: $SERVER"
