#!/usr/bin/python3
"""Many cameras recorded to MP4 segments on tmpfs: one rtsp-recorder process
for N cameras against one ffmpeg -c copy process per camera and one
gst-launch-1.0 (rtspsrc ! rtph264depay ! h264parse ! splitmuxsink) process
per camera, in one run, each against loopback_server --one-loop replaying a
1 Mbit/s H.264 stream.

    bench/recorder_scale.py --build build-perf --cameras 1000 --ffmpeg 50 --gstreamer 50

Per side: the server is started (one event loop for every client; each
client streams from its own PLAY until told to stop), the recorders are
started, and once every camera records (every ffmpeg and GStreamer process
has written its first segment) the window of --seconds opens; CPU is the
user+system time of the recording processes over the window (from
/proc/PID/stat at its start and end), memory their private (unshared) pages
and resident size at its end. Then the server ends every stream at a frame
boundary, and every camera's received packets are compared with what the
server says it sent (the recorder's /metrics; ffmpeg and GStreamer are not
checked for loss). Stops by itself; 127.0.0.1 only.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
PATH = "bench"
RATE = 1_000_000  # bits per second per camera


def log(text):
    print(text, flush=True)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory_kib(pid):
    """Private (clean + dirty) and resident KiB of pid."""
    private = rss = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("Private_Clean", "Private_Dirty"):
                private += int(rest.split()[0])
            elif key == "Rss":
                rss = int(rest.split()[0])
    return private, rss


def stream_file(args):
    path = "/tmp/rtsppull-bench/stream-1mbit.rtp"
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_stream.py"), path,
                        "--kbps", "1000", "--width", "640", "--height", "360", "--fps", "25",
                        "--seconds", "10"], check=True)
    with open(path, "rb") as f:
        header = f.readline().decode()
        body = f.read()
    packets = int(re.search(r"packets=(\d+)", header).group(1))
    return path, (len(body) - 2 * packets) / packets


class Server:
    def __init__(self, args, stream, clients):
        argv = [os.path.join(args.build, "bench", "loopback_server"), "--stream", stream,
                "--one-loop", "--packets", "0", "--clients", str(clients), "--path", PATH,
                "--bitrate", str(RATE)]
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("port "):
            raise RuntimeError("loopback_server did not start")
        self.port = int(line.split()[1])
        self.url = f"rtsp://127.0.0.1:{self.port}/{PATH}"

    def cpu(self):
        return cpu_seconds(self.proc.pid)

    def results(self, timeout=90):
        """Ends every stream; the packets sent per client (by the last segment of
        its URL), once every client is done."""
        try:
            out, _ = self.proc.communicate(input="stop\n", timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
        return {m[1]: int(m[0]) for m in re.findall(
            r"^client \d+ packets=(\d+) .* name=(\S*)$", out, re.M)}

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def wait_for(what, check, timeout):
    end = time.monotonic() + timeout
    while True:
        try:
            if check():
                return
        except OSError:  # a busy service may answer late: ask again
            pass
        if time.monotonic() > end:
            raise RuntimeError(f"{what}: not within {timeout} s")
        time.sleep(1)


def fetch(url):
    with urllib.request.urlopen(url, timeout=60) as r:
        return r.read().decode()


def run_recorder(args, stream, store, build):
    n = args.cameras
    server = Server(args, stream, n)
    config = os.path.join(store, "cams.toml")
    with open(config, "w") as f:
        f.write(f'[server]\nlisten = "127.0.0.1:0"\n[store]\nroot = "{store}/rec"\n'
                f'max_bytes = "{args.store_bytes}"\nmin_free = "64M"\n')
        for i in range(n):
            f.write(f'[[camera]]\nname = "cam{i}"\nurl = "{server.url}/cam{i}"\n'
                    f'segment_seconds = {args.segment}\n')
    err = open(os.path.join(store, "recorder.err"), "w+")
    proc = subprocess.Popen([os.path.join(build, "tools", "rtsp-recorder", "rtsp-recorder"),
                             "--config", config], stderr=err)
    try:
        def address():
            err.seek(0)
            m = re.search(r"serving (http://[0-9.:]+/)", err.read())
            return m.group(1) if m else None
        wait_for("the recorder's address", address, 60)
        base = address()
        started = time.monotonic()
        wait_for("every camera recording", lambda: sum(
            c["state"] == "recording" for c in json.loads(fetch(base + "api/cameras"))) == n,
            600)
        log(f"recorder: {n} cameras recording {time.monotonic() - started:.1f} s after start")
        r = measure(args, [proc.pid], server)
        threads = len(os.listdir(f"/proc/{proc.pid}/task"))
        sent = server.results()
        # The streams are over: the last packets are in once the counts stop moving.
        received, lost = {}, 0
        previous = None
        for _ in range(60):
            metrics = fetch(base + "metrics")
            received = {m[0]: int(m[1]) for m in re.findall(
                r'^rtsp_recorder_packets_total\{camera="([^"]+)"\} (\d+)', metrics, re.M)}
            lost = sum(int(v) for v in re.findall(
                r"^rtsp_recorder_packets_lost_total\{[^}]*\} (\d+)", metrics, re.M))
            if received == previous:
                break
            previous = received
            time.sleep(1)
        stop0 = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=60)
        r.update(n=n, threads=threads, sent=sum(sent.values()), received=sum(received.values()),
                 lost=lost, short=sum(1 for name, s in sent.items() if received.get(name, 0) != s),
                 stop=time.monotonic() - stop0)
        return r
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        server.kill()


def measure(args, pids, server):
    """CPU of pids and of the server over the window; memory of pids at its end."""
    cpu0, server0, t0 = sum(cpu_seconds(p) for p in pids), server.cpu(), time.monotonic()
    time.sleep(args.seconds)
    cpu1, server1, t1 = sum(cpu_seconds(p) for p in pids), server.cpu(), time.monotonic()
    mem = [memory_kib(p) for p in pids]
    return dict(cpu=(cpu1 - cpu0) / (t1 - t0), server=(server1 - server0) / (t1 - t0),
                private=sum(x[0] for x in mem), rss=sum(x[1] for x in mem),
                load=os.getloadavg()[0])


def ffmpeg_argv(url, out, segment):
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats",
            "-rtsp_transport", "tcp", "-i", url, "-c", "copy", "-f", "segment",
            "-segment_time", str(segment), "-reset_timestamps", "1",
            os.path.join(out, "%05d.mp4")]


def gstreamer_argv(url, out, segment):
    return ["gst-launch-1.0", "-q", "-e", "rtspsrc", f"location={url}", "protocols=tcp",
            "latency=200", "!", "rtph264depay", "!", "h264parse", "!", "splitmuxsink",
            f"location={os.path.join(out, '%05d.mp4')}",
            f"max-size-time={segment * 1_000_000_000}"]


def run_processes(args, stream, store, name, m, make_argv):
    """m recorders, a process each (started 50 ms apart, as the service spaces its cameras)."""
    server = Server(args, stream, m)
    procs = []
    try:
        for i in range(m):
            out = os.path.join(store, name, f"cam{i}")
            os.makedirs(out)
            procs.append(subprocess.Popen(make_argv(server.url, out, args.segment),
                                          stdin=subprocess.DEVNULL))
            time.sleep(0.05)
        started = time.monotonic()
        wait_for(f"every {name} writing", lambda: all(
            os.listdir(os.path.join(store, name, f"cam{i}")) for i in range(m)), 600)
        log(f"{name}: {m} processes writing {time.monotonic() - started:.1f} s after start")
        r = measure(args, [p.pid for p in procs], server)
        for p in procs:
            p.send_signal(signal.SIGINT)
        for p in procs:
            p.wait(timeout=60)
        server.results()
        r.update(n=m)
        return r
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        server.kill()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build-perf")
    ap.add_argument("--cameras", type=int, default=1000)
    ap.add_argument("--ffmpeg", type=int, default=50)
    ap.add_argument("--gstreamer", type=int, default=50)
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--segment", type=int, default=10)
    ap.add_argument("--store-bytes", default="2G", help="the store's retention limit")
    ap.add_argument("--before", help="a build directory of another tree: its rtsp-recorder "
                    "runs the same cameras as a row of its own")
    ap.add_argument("--tmpfs", default="/dev/shm/rtsp-recorder-bench")
    args = ap.parse_args()

    stream, _ = stream_file(args)
    shutil.rmtree(args.tmpfs, ignore_errors=True)
    os.makedirs(args.tmpfs)
    try:
        rows = []
        if args.cameras:
            rows.append(("rtsp-recorder, one process",
                         run_recorder(args, stream, args.tmpfs, args.build)))
            shutil.rmtree(os.path.join(args.tmpfs, "rec"), ignore_errors=True)
        if args.cameras and args.before:
            rows.append(("rtsp-recorder before, one process",
                         run_recorder(args, stream, args.tmpfs, args.before)))
            shutil.rmtree(os.path.join(args.tmpfs, "rec"), ignore_errors=True)
        if args.ffmpeg:
            rows.append(("ffmpeg -c copy, a process per camera",
                         run_processes(args, stream, args.tmpfs, "ffmpeg", args.ffmpeg,
                                       ffmpeg_argv)))
            shutil.rmtree(os.path.join(args.tmpfs, "ffmpeg"), ignore_errors=True)
        if args.gstreamer:
            rows.append(("GStreamer splitmuxsink, a process per camera",
                         run_processes(args, stream, args.tmpfs, "gstreamer", args.gstreamer,
                                       gstreamer_argv)))
    finally:
        shutil.rmtree(args.tmpfs, ignore_errors=True)

    log(f"\n{os.cpu_count()} cores; {args.seconds} s window, 1 Mbit/s per camera, "
        f"{args.segment} s segments on tmpfs")
    log("| Recorder | Cameras | CPU (one core = 100 %) | CPU per camera | Private memory "
        "| Private per camera | RSS | Server CPU | Load average |")
    log("|---|---|---|---|---|---|---|---|---|")
    for name, r in rows:
        log(f"| {name} | {r['n']} | {100 * r['cpu']:.1f} % | {100 * r['cpu'] / r['n']:.3f} % "
            f"| {r['private'] / 1024:.1f} MiB | {r['private'] / r['n']:.0f} KiB "
            f"| {r['rss'] / 1024:.1f} MiB | {100 * r['server']:.1f} % | {r['load']:.1f} |")
    for name, r in rows:
        if "sent" in r:
            log(f"{name}: packets sent {r['sent']}, received {r['received']}, lost {r['lost']}, "
                f"cameras short of what was sent {r['short']}, threads {r['threads']}, "
                f"SIGTERM to exit {r['stop']:.2f} s")
    if rows and "sent" in rows[0][1]:
        base = rows[0][1]
        for name, r in rows[1:]:
            log(f"per camera, {name.split(',')[0]} / rtsp-recorder: "
                f"CPU {(r['cpu'] / r['n']) / (base['cpu'] / base['n']):.1f}x, "
                f"private memory {(r['private'] / r['n']) / (base['private'] / base['n']):.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
