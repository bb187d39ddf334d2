#!/usr/bin/python3
"""A local RTSP server for the demo and the interop and end-to-end tests.

Serves a moving test pattern encoded as H.264 (or H.265 with --codec h265)
at rtsp://127.0.0.1:PORT/test
(the path can be changed with --path), RTP interleaved on the RTSP
connection only unless --protocols says otherwise, and stops by itself after
--lifetime seconds, on SIGTERM or on SIGINT.

Usage: test-server.py PORT [--lifetime S] [--width W] [--height H] [--fps N]
                           [--path P] [--codec h264|h265] [--log-requests FILE]
                           [--protocols tcp|udp|all] [--session-timeout S]
                           [--share-port]
                           [--auth digest|basic|both [--user U] [--password P]]
                           [--audio aac|latm|opus|pcmu|pcma]
                           [--tls CERT KEY] [--counter FILE]

--tls serves rtsps:// instead: TLS on every connection, with the PEM
certificate (chain) CERT and its private key KEY. RTSP tunnelled through
HTTP (a GET and a POST connection sharing an x-sessioncookie) is accepted on
the same port, with or without --tls.

--protocols: the lower transports offered: tcp (interleaved, the default),
udp (unicast UDP only: an interleaved SETUP gets 461) or all.

--session-timeout: the timeout the server announces in its Session header
and applies. A session that shows no sign of life for that long (no request
on the RTSP connection, no RTCP from the client over UDP) is expired. The
server expires sessions only when its session pool is cleaned up, so with
this option the pool is cleaned every half second.

--audio adds a second stream, a sine tone (mono, 48 kHz for AAC and Opus,
8 kHz for G.711) with the timestamps of the same clock as the video: AAC as
mpeg4-generic (RFC 3640, payload type 97), AAC in MP4A-LATM (RFC 6416, 97),
Opus (97), PCMU (0) or PCMA (8).

--counter replaces the test pattern (H.264 only) by pictures that carry
their own number: the top quarter is a row of 16 black or white blocks, the
number's bits, most significant first, on the left (white: 1), above a
moving square. Each picture's number and the wall-clock time at which it
goes to the encoder ("N MILLISECONDS_SINCE_1970") are appended to FILE,
flushed at once, so that a test can tell how long a picture takes to reach
a viewer. Numbers restart at 0 with the server.

--auth makes the stream need credentials: Digest (MD5), Basic, or both
offered (a 401 then carries a Basic and a Digest challenge).

PORT 0 picks a free port. In every case the first line on standard output is
the port actually bound, so a caller can read it before connecting.

--log-requests appends the request line of every RTSP request a client sends
("METHOD URL RTSP/1.0"), flushed at once, for tests that check what reached
the wire. The server's own request signals cannot be used for that: it
refuses some requests (a TEARDOWN without a Session header, say) before
emitting them. So with this option the clients talk to a small relay on PORT
that copies bytes both ways to the server on a private port and reads the
client's side.

--share-port (with --log-requests) lets another server started with it
listen on the same PORT while this one runs, so a test can replace the
server without the port ever being free for another program to take.
Connections already made stay with the server that accepted them.

Exit status: 0 after a normal end, 77 when GStreamer, its RTSP server
bindings or a needed element is not installed (tests skip on 77), 1 on other
errors. Must run under /usr/bin/python3, the interpreter the gi packages are
installed for.
"""

import argparse
import re
import signal
import socket
import sys
import threading
import time

SKIP_STATUS = 77
REQUEST_LINE = re.compile(rb"^[A-Z_]+ \S+ RTSP/\d\.\d$")


class RequestLogger:
    """Relay between clients and the server that logs client request lines."""

    def __init__(self, listen_sock, target_port, log):
        self._listen = listen_sock
        self._target_port = target_port
        self._log = log
        self._lock = threading.Lock()

    def start(self):
        threading.Thread(target=self._accept_loop, daemon=True).start()

    def _accept_loop(self):
        while True:
            try:
                client, _ = self._listen.accept()
            except OSError:
                return
            try:
                upstream = socket.create_connection(("127.0.0.1", self._target_port))
            except OSError:
                client.close()
                continue
            for sock in (client, upstream):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._pump, args=(client, upstream, True),
                             daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, False),
                             daemon=True).start()

    def _pump(self, src, dst, from_client):
        pending = b""
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
                if from_client:
                    pending = self._scan(pending + data)
        except OSError:
            pass
        for sock in (src, dst):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _scan(self, buf):
        """Logs every complete request in buf; returns the incomplete rest."""
        while buf:
            if buf[0:1] == b"$":  # interleaved data from the client
                if len(buf) < 4:
                    return buf
                size = 4 + int.from_bytes(buf[2:4], "big")
                if len(buf) < size:
                    return buf
                buf = buf[size:]
                continue
            end = buf.find(b"\r\n\r\n")
            if end < 0:
                return buf
            head = buf[:end].split(b"\r\n")
            body = 0
            for line in head[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    body = int(value.strip() or b"0")
            if len(buf) < end + 4 + body:
                return buf
            if REQUEST_LINE.match(head[0]):
                with self._lock:
                    self._log.write(head[0].decode("latin-1") + "\n")
                    self._log.flush()
            buf = buf[end + 4 + body:]
        return buf


# --audio: the encoder and payloader after "audiotestsrc is-live=true",
# with the rate the codec is fed at.
AUDIO = {
    "aac": ("audio/x-raw,rate=48000,channels=1 ! voaacenc bitrate=64000 "
            "! rtpmp4gpay name=pay1 pt=97"),
    "latm": ("audio/x-raw,rate=48000,channels=1 ! voaacenc bitrate=64000 "
             "! rtpmp4apay name=pay1 pt=97"),
    "opus": "audio/x-raw,rate=48000,channels=1 ! opusenc ! rtpopuspay name=pay1 pt=97",
    "pcmu": "audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay name=pay1 pt=0",
    "pcma": "audio/x-raw,rate=8000,channels=1 ! alawenc ! rtppcmapay name=pay1 pt=8",
}
AUDIO_ELEMENTS = {"aac": ("voaacenc", "rtpmp4gpay"), "latm": ("voaacenc", "rtpmp4apay"),
                  "opus": ("opusenc", "rtpopuspay"), "pcmu": ("mulawenc", "rtppcmupay"),
                  "pcma": ("alawenc", "rtppcmapay")}


COUNTER_BITS = 16


def counter_picture(number, width, height):
    """One GRAY8 picture of --counter: the number's blocks above a square."""
    block, band = width // COUNTER_BITS, height // 4
    row = b"".join((b"\xff" if number >> (COUNTER_BITS - 1 - i) & 1 else b"\x00") * block
                   for i in range(COUNTER_BITS))
    row += b"\x80" * (width - len(row))
    side = height // 4
    left = number * 4 % (width - side)
    below = (b"\x80" * left + b"\xeb" * side + b"\x80" * (width - left - side)) * side
    return row * band + below + b"\x80" * (width * (height - band - side))


def feed_counter(factory, args, Gst, GLib):
    """Pushes a numbered picture every 1/fps s into the newest media's appsrc."""
    log = open(args.counter, "a", encoding="utf-8")
    state = {"pipeline": None, "number": 0, "slot": -1}

    def on_configure(_factory, media):
        state["pipeline"], state["slot"] = media.get_element(), -1

    def push():
        pipeline = state["pipeline"]
        clock = pipeline.get_clock() if pipeline is not None else None
        if clock is not None:
            # Timestamps on the frame grid, as a camera's are, near the running time.
            running = clock.get_time() - pipeline.get_base_time()
            state["slot"] = max(state["slot"] + 1, running * args.fps // Gst.SECOND)
            number = state["number"] % (1 << COUNTER_BITS)
            buffer = Gst.Buffer.new_wrapped(counter_picture(number, args.width, args.height))
            buffer.pts = state["slot"] * Gst.SECOND // args.fps
            buffer.duration = Gst.SECOND // args.fps
            log.write(f"{number} {int(time.time() * 1000)}\n")
            log.flush()
            pipeline.get_by_name("counter").emit("push-buffer", buffer)
            state["number"] += 1
        return GLib.SOURCE_CONTINUE

    factory.connect("media-configure", on_configure)
    GLib.timeout_add(max(1, 1000 // args.fps), push)


def serve_tls(server, factory, args, GstRtspServer, Gst):
    """TLS with the given certificate; without --auth anyone may play."""
    from gi.repository import Gio
    auth = GstRtspServer.RTSPAuth()
    auth.set_tls_certificate(Gio.TlsCertificate.new_from_files(*args.tls))
    if not args.auth:
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "anyone")
        auth.set_default_token(token)
        role = Gst.Structure.from_string(
            "anyone, media.factory.access=(boolean)true, "
            "media.factory.construct=(boolean)true")[0]
        factory.add_role_from_structure(role)
    server.set_auth(auth)
    return auth


def require_credentials(server, factory, args, GstRtspServer, GstRtsp, Gst, auth=None):
    """Only the given user may use the mount point, authenticated as --auth says."""
    auth = auth or GstRtspServer.RTSPAuth()
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "user")
    if args.auth in ("basic", "both"):
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
    if args.auth in ("digest", "both"):
        auth.add_digest(args.user, args.password, token)
    if args.auth == "both":
        # The method set is a bit mask in C, but the bindings accept single
        # values only: Digest and Basic together go through the C function.
        import ctypes
        library = ctypes.CDLL("libgstrtspserver-1.0.so.0")
        library.gst_rtsp_auth_set_supported_methods.argtypes = [ctypes.c_void_p, ctypes.c_int]
        library.gst_rtsp_auth_set_supported_methods(
            hash(auth), int(GstRtsp.RTSPAuthMethod.BASIC) | int(GstRtsp.RTSPAuthMethod.DIGEST))
    else:
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC if args.auth == "basic"
                                   else GstRtsp.RTSPAuthMethod.DIGEST)
    server.set_auth(auth)
    role = Gst.Structure.from_string(
        "user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true")[0]
    factory.add_role_from_structure(role)


def main():
    parser = argparse.ArgumentParser(description="Local H.264/H.265 (and audio) RTSP test server")
    parser.add_argument("port", type=int, help="TCP port on 127.0.0.1; 0 picks a free one")
    parser.add_argument("--lifetime", type=float, default=60.0,
                        help="seconds after which the server stops by itself (default 60)")
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--path", default="/test", help="mount point (default /test)")
    parser.add_argument("--codec", choices=("h264", "h265"), default="h264",
                        help="video codec (default h264)")
    parser.add_argument("--audio", choices=tuple(AUDIO),
                        help="add an audio stream in this codec (default: video only)")
    parser.add_argument("--auth", choices=("digest", "basic", "both"),
                        help="require credentials (--user, --password): Digest, Basic, or "
                             "either (both offered in every challenge)")
    parser.add_argument("--user", default="user", help="user name for --auth (default user)")
    parser.add_argument("--password", default="password",
                        help="password for --auth (default password)")
    parser.add_argument("--log-requests", metavar="FILE",
                        help="append the request line of every client request")
    parser.add_argument("--protocols", choices=("tcp", "udp", "all"), default="tcp",
                        help="lower transports offered (default tcp: interleaved only)")
    parser.add_argument("--session-timeout", type=int, metavar="S",
                        help="session timeout in seconds, enforced every half second")
    parser.add_argument("--share-port", action="store_true",
                        help="with --log-requests: let another server with this option "
                             "listen on PORT too")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="serve rtsps:// with this PEM certificate and private key")
    parser.add_argument("--counter", metavar="FILE",
                        help="numbered pictures; append each one's number and time to FILE")
    args = parser.parse_args()
    if args.share_port and not args.log_requests:
        parser.error("--share-port needs --log-requests")
    if args.counter and args.codec != "h264":
        parser.error("--counter needs --codec h264")

    try:
        import gi
        gi.require_version("Gst", "1.0")
        gi.require_version("GstRtsp", "1.0")
        gi.require_version("GstRtspServer", "1.0")
        from gi.repository import GLib, Gst, GstRtsp, GstRtspServer
    except (ImportError, ValueError) as err:
        print(f"test-server: GStreamer RTSP server bindings not available: {err}",
              file=sys.stderr)
        return SKIP_STATUS

    Gst.init(None)
    encoder, payloader = (("x265enc", "rtph265pay") if args.codec == "h265"
                          else ("x264enc", "rtph264pay"))
    wanted = ["videotestsrc", "videoconvert", encoder, payloader]
    if args.audio:
        wanted += ["audiotestsrc", "audioconvert", "audioresample", *AUDIO_ELEMENTS[args.audio]]
    missing = [e for e in wanted if Gst.ElementFactory.find(e) is None]
    if missing:
        print(f"test-server: GStreamer elements not installed: {', '.join(missing)}",
              file=sys.stderr)
        return SKIP_STATUS

    # A keyframe every second; config-interval=-1 repeats the parameter sets
    # in front of every keyframe, so a client that joins late can still decode.
    raw = ("( videotestsrc is-live=true pattern=ball "
           f"! video/x-raw,width={args.width},height={args.height},framerate={args.fps}/1 "
           "! videoconvert ")
    if args.counter:
        raw = ("( appsrc name=counter is-live=true format=time "
               f"caps=video/x-raw,format=GRAY8,width={args.width},height={args.height},"
               f"framerate={args.fps}/1 ! videoconvert ")
    if args.codec == "h265":
        launch = raw + (
            f"! x265enc tune=zerolatency speed-preset=ultrafast key-int-max={args.fps} "
            "! video/x-h265,profile=main "
            "! rtph265pay name=pay0 pt=96 config-interval=-1 )")
    else:
        launch = raw + (
            f"! x264enc tune=zerolatency speed-preset=ultrafast key-int-max={args.fps} "
            "aud=false sliced-threads=false "
            "! video/x-h264,profile=baseline "
            "! rtph264pay name=pay0 pt=96 config-interval=-1 )")
    if args.audio:
        launch = launch[:-1] + (
            "audiotestsrc is-live=true wave=sine freq=440 volume=0.3 ! audioconvert "
            f"! audioresample ! {AUDIO[args.audio]} )")

    relay = None
    if args.log_requests:
        listen = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if args.share_port:
            listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        try:
            listen.bind(("127.0.0.1", args.port))
        except OSError as err:
            print(f"test-server: cannot listen on 127.0.0.1:{args.port}: {err}",
                  file=sys.stderr)
            return 1
        listen.listen(8)
        public_port = listen.getsockname()[1]
        server_port = 0
    else:
        server_port = args.port

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(server_port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    factory.set_shared(True)
    if args.counter:
        feed_counter(factory, args, Gst, GLib)
    protocols = {"tcp": GstRtsp.RTSPLowerTrans.TCP,
                 "udp": GstRtsp.RTSPLowerTrans.UDP,
                 "all": GstRtsp.RTSPLowerTrans.TCP | GstRtsp.RTSPLowerTrans.UDP}
    factory.set_protocols(protocols[args.protocols])
    server.get_mount_points().add_factory(args.path, factory)
    tls_auth = serve_tls(server, factory, args, GstRtspServer, Gst) if args.tls else None
    if args.auth:
        require_credentials(server, factory, args, GstRtspServer, GstRtsp, Gst, tls_auth)

    if args.session_timeout is not None:
        def on_new_session(_client, session):
            session.set_timeout(args.session_timeout)

        def on_client_connected(_server, client):
            client.connect("new-session", on_new_session)

        server.connect("client-connected", on_client_connected)
        pool = server.get_session_pool()

        def clean_pool():
            expired = pool.cleanup()
            if expired:
                print(f"test-server: {expired} session(s) expired", file=sys.stderr, flush=True)
            return GLib.SOURCE_CONTINUE

        GLib.timeout_add(500, clean_pool)

    loop = GLib.MainLoop()
    if server.attach(None) == 0:
        print(f"test-server: cannot listen on 127.0.0.1:{server_port}", file=sys.stderr)
        return 1
    if args.log_requests:
        log = open(args.log_requests, "a", encoding="utf-8")
        relay = RequestLogger(listen, server.get_bound_port(), log)
        relay.start()
    else:
        public_port = server.get_bound_port()
    print(public_port, flush=True)

    def quit_loop(*_):
        loop.quit()
        return GLib.SOURCE_REMOVE

    GLib.timeout_add(int(args.lifetime * 1000), quit_loop)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, quit_loop)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, quit_loop)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
