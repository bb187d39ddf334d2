#!/usr/bin/python3
"""Side-by-side receive-path comparison on loopback.

Runs, alternating between them, a raw two-reads-per-frame reader (the floor),
a counting host on the library, rtsp-pull -o /dev/null, ffmpeg -c copy and a
GStreamer rtspsrc pipeline against loopback_server replaying a recorded H.264
stream, and prints per client: packets/s, CPU microseconds per packet (user +
sys from wait4, not wall time), peak RSS (ru_maxrss), the ratios to the raw
reader and whether every packet arrived. Then a paced 20 Mbit/s run (CPU
percent while streaming, and client CPU from process start to PLAY sent),
time to first packet, and the resident memory of one and of several
sessions in one host.

Usage (from the source tree, after building with -DRTSPPULL_BUILD_BENCH=ON):
  /usr/bin/python3 bench/compare.py --build build-perf [--runs 5]
Extra clients (for example a build of an older library) are added with
  --client 'NAME=COMMAND TEMPLATE'   ({port} and {url} are substituted)
"""
import argparse
import glob
import os
import re
import select
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PATH = "bench"
# The rows the goals are stated on (--goals runs only these).
RECOMMENDED, FFMPEG = "count host, recommended()", "ffmpeg -c copy"
RECOMMENDED_UDP, FFMPEG_UDP = "count host, UDP, recommended()", "ffmpeg -c copy, UDP"
UDP_FLOOR = "UDP floor (recvmmsg only)"
RECOMMENDED_TLS, FFMPEG_TLS = "count host, TLS, recommended()", "ffmpeg -c copy, TLS"


# --------------------------------------------------------------- the stream

def load_recording(path):
    with open(path, "rb") as f:
        header = f.readline().decode("ascii")
        data = f.read()
    packets = []
    at = 0
    while at + 2 <= len(data):
        (n,) = struct.unpack_from("!H", data, at)
        packets.append(data[at + 2:at + 2 + n])
        at += 2 + n
    return header, packets


def annexb_bytes(packet):
    """Bytes a depacketizer writes for one RTP packet (4-byte start codes)."""
    cc = packet[0] & 0x0F
    start = 12 + 4 * cc
    if packet[0] & 0x10:
        (ext_words,) = struct.unpack_from("!H", packet, start + 2)
        start += 4 + 4 * ext_words
    payload = packet[start:]
    if not payload:
        return 0
    kind = payload[0] & 0x1F
    if 1 <= kind <= 23:
        return 4 + len(payload)
    if kind == 24:  # STAP-A
        total, at = 0, 1
        while at + 2 <= len(payload):
            (n,) = struct.unpack_from("!H", payload, at)
            total += 4 + n
            at += 2 + n
        return total
    if kind == 28:  # FU-A
        return (5 if payload[1] & 0x80 else 0) + len(payload) - 2
    return 0


def whole_frames(packets, target):
    """The smallest packet count >= target that ends on a marked packet."""
    n = target
    while not packets[(n - 1) % len(packets)][1] & 0x80:
        n += 1
    return n


def expected_stream_bytes(packets, count):
    """Bytes on the connection after the PLAY reply: 4-byte header + packet."""
    full, rest = divmod(count, len(packets))
    return full * sum(4 + len(p) for p in packets) + sum(4 + len(p) for p in packets[:rest])


def expected_annexb(packets, count):
    per = [annexb_bytes(p) for p in packets]
    full, rest = divmod(count, len(packets))
    return full * sum(per) + sum(per[:rest])


# --------------------------------------------------------------- processes

def cpu_ns_now(pid):
    """CPU time of every live thread of pid, in ns (schedstat)."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def minflt_now(pid):
    """Minor page faults of pid so far (/proc/PID/stat field 10), or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[7])
    except (OSError, ValueError, IndexError):
        return None


class Server:
    def __init__(self, args, packets, bitrate=0, clients=1, hold=False, tls=False, audio=False):
        argv = [args.server, "--stream", args.stream, "--packets", str(packets),
                "--clients", str(clients), "--path", PATH]
        if audio:
            argv.append("--audio")
        if tls:
            argv += ["--tls"] + tls_files()
        if bitrate:
            argv += ["--bitrate", str(bitrate)]
        if hold:
            argv.append("--hold-play")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        line = self.proc.stdout.readline()
        if not line.startswith("port "):
            raise RuntimeError("loopback_server did not start")
        self.port = int(line.split()[1])

    def line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        return self.proc.stdout.readline() if ready else ""

    def release(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()

    def finish(self):
        try:
            self.proc.wait(timeout=40)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def parse_fields(line):
    return {k: v for k, v in re.findall(r"(\w+)=(\S+)", line)}


class Run:
    pass


def sample_memory(pid, run):
    """Largest anonymous and file-backed resident sizes seen while pid runs."""
    run.anon_kib = run.file_kib = 0
    while True:
        try:
            with open(f"/proc/{pid}/status") as f:
                status = f.read()
        except OSError:
            return
        fields = dict(re.findall(r"(Rss\w+):\s+(\d+)", status))
        if "RssAnon" not in fields:
            return
        run.anon_kib = max(run.anon_kib, int(fields["RssAnon"]))
        run.file_kib = max(run.file_kib, int(fields["RssFile"]))
        time.sleep(0.05)


def run_client(args, client, packets, bitrate=0, hold=False, sessions=1, sample=False,
               audio=False):
    """One client against a fresh server (describing an audio track too
    with `audio`); returns a Run."""
    server = Server(args, packets, bitrate, sessions, hold, client.tls, audio)
    url = f"{'rtsps' if client.tls else 'rtsp'}://127.0.0.1:{server.port}/{PATH}"
    out = tempfile.TemporaryFile()
    err = tempfile.TemporaryFile()
    progress = tempfile.NamedTemporaryFile(prefix="progress", delete=False)
    template = client.multi(sessions) if client.multi else client.argv
    argv = [a.format(port=server.port, url=url, sessions=sessions, progress=progress.name)
            for a in template]
    report_r, report_w = os.pipe()
    spawn_ns = time.monotonic_ns()
    proc = subprocess.Popen([args.launcher, str(report_w), str(int(args.timeout))] + argv,
                            stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=client.env,
                            pass_fds=(report_w,))
    os.close(report_w)
    report = os.fdopen(report_r)
    pid = int(report.readline().split()[1])
    run = Run()
    run.name = client.name
    run.sessions = sessions
    run.output_bytes = None
    run.handshake_ns = run.handshake_flt = None
    sampler = None
    if sample:
        sampler = threading.Thread(target=sample_memory, args=(pid, run))
        sampler.start()
    if hold:
        for _ in range(sessions):
            line = server.line(args.timeout)
            if not line.startswith("play"):
                break
            if run.handshake_ns is None:
                run.handshake_flt = minflt_now(pid)
                run.handshake_ns = cpu_ns_now(pid)
            server.release()
    usage = parse_fields(report.readline())
    report.close()
    proc.wait()
    if sampler:
        sampler.join()
    run.wall = (time.monotonic_ns() - spawn_ns) / 1e9
    run.cpu = (int(usage["user_us"]) + int(usage["sys_us"])) / 1e6
    run.rss_kib = int(usage["maxrss_kib"])
    run.status = int(usage["status"])
    served = []
    for _ in range(sessions):
        line = server.line(5)
        if line.startswith("play"):
            line = server.line(5)
        if not line.startswith("client"):
            break
        served.append(parse_fields(line))
    server.finish()
    out.seek(0)
    err.seek(0)
    run.stdout = out.read().decode("utf-8", "replace")
    run.stderr = err.read().decode("utf-8", "replace")
    with open(progress.name) as f:
        run.progress = f.read()
    os.unlink(progress.name)
    for produced in glob.glob(progress.name + ".*"):  # a recording written by the client
        run.output_bytes = os.path.getsize(produced)
        os.unlink(produced)
    run.packets = packets * sessions
    run.served_ok = len(served) == sessions and all(s.get("ok") == "1" for s in served)
    if served:
        first = min(int(s["first_ns"]) for s in served)
        end = max(int(s["end_ns"]) for s in served)
        run.stream_s = max(end - first, 1) / 1e9
        run.ttfp_ms = (first - spawn_ns) / 1e6
        run.play_ns = min(int(s["play_ns"]) for s in served)
    else:
        run.stream_s, run.ttfp_ms, run.play_ns = None, None, None
    run.complete = client.check(run, args) if run.served_ok else False
    return run


# --------------------------------------------------------------- clients

class Client:
    """One client program. `multi(K)`, when given, returns the argument
    template of one process that receives K streams; a template holding
    {sessions} does so by itself."""

    def __init__(self, name, argv, check, env=None, multi=None, tls=False):
        self.name, self.argv, self.check, self.env = name, argv, check, env
        self.multi = multi
        self.tls = tls  # served over TLS (rtsps://)

    def library_host(self):
        return os.path.basename(self.argv[0]) in ("count_host", "rtsp-pull")

    def can_multi(self):
        return self.multi is not None or any("{sessions}" in a for a in self.argv)


def start_alone(args, program):
    """The program started with no arguments (usage message, exit) under the
    launcher: (CPU seconds, minor page faults, peak RSS KiB)."""
    report_r, report_w = os.pipe()
    proc = subprocess.Popen([args.launcher, str(report_w), "10", program],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, pass_fds=(report_w,))
    os.close(report_w)
    with os.fdopen(report_r) as report:
        report.readline()
        usage = parse_fields(report.readline())
    proc.wait()
    return ((int(usage["user_us"]) + int(usage["sys_us"])) / 1e6, int(usage["minflt"]),
            int(usage["maxrss_kib"]))


def check_raw(run, args):
    m = re.search(r"packets=(\d+)", run.stdout)
    return bool(m) and int(m.group(1)) == run.packets


def check_bulk(run, args):
    m = re.search(r"stream_bytes=(\d+)", run.stdout)
    return bool(m) and int(m.group(1)) == expected_stream_bytes(args.recording, run.packets)


def check_count(run, args):
    f = parse_fields(run.stderr)
    return f.get("ok") == "1" and int(f.get("packets", -1)) == run.packets


def check_rtsp_pull(run, args):
    # Summary line: "... N packets ... L lost ..." (any order).
    m = re.search(r"(\d+) packets", run.stderr)
    lost = re.search(r"(\d+) lost", run.stderr)
    if not m:
        return None
    return int(m.group(1)) == run.packets and (lost is None or int(lost.group(1)) == 0)


def check_ffmpeg(run, args):
    if run.sessions > 1:
        return None  # the progress report covers one output only
    sizes = re.findall(r"total_size=(\d+)", run.progress)
    if not sizes:
        return None
    # The stream ends on a frame boundary, so every byte of every packet is
    # written; ffmpeg adds the parameter sets from the SDP in front.
    diff = int(sizes[-1]) - expected_annexb(args.recording, run.packets)
    return 0 <= diff <= 256


def check_none(run, args):
    return None


def table(args, rows, extras=()):
    """The clients of a section: (name, argv, check) rows whose program is
    there (ffmpeg and gst-launch-1.0 only without --no-peers), then the extra
    'NAME=COMMAND TEMPLATE' ones ({out}: the path of a recording)."""
    clients = []
    for name, argv, check, *multi in rows:
        if "/" not in argv[0]:
            if shutil.which(argv[0]) and not args.no_peers:
                clients.append(Client(name, argv, check, multi=(multi or [None])[0]))
        elif os.path.exists(argv[0]):
            clients.append(Client(name, argv, check))
        else:
            print(f"note: {argv[0]} not built, {name} skipped", file=sys.stderr)
    checks = {"raw_reader": check_raw, "count_host": check_count, "rtsp-pull": check_rtsp_pull}
    for extra in extras:
        name, _, template = extra.partition("=")
        argv = shlex.split(template.replace("{out}", "{progress}.mp4"))
        clients.append(Client(name, argv, checks.get(os.path.basename(argv[0]), check_none)))
    return clients


def make_clients(args):
    bench = os.path.join(args.build, "bench")
    count = [os.path.join(bench, "count_host"), "127.0.0.1", "{port}", PATH, "--sessions",
             "{sessions}"]
    pull = os.path.join(args.build, "tools", "rtsp-pull", "rtsp-pull")
    ffmpeg_head = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats",
                   "-progress", "{progress}"]

    def ffmpeg_multi(k):
        # K inputs, each copied to an output of its own, in one process.
        argv = list(ffmpeg_head)
        for _ in range(k):
            argv += ["-rtsp_transport", "tcp", "-i", "{url}"]
        for i in range(k):
            argv += ["-map", str(i), "-c", "copy", "-f", "h264", "-y", "/dev/null"]
        return argv

    def gst_multi(k):
        # K independent chains in one pipeline.
        argv = ["gst-launch-1.0", "-q"]
        for _ in range(k):
            argv += ["rtspsrc", "location={url}", "protocols=tcp", "!", "rtph264depay", "!",
                     "h264parse", "!", "fakesink"]
        return argv

    return table(args, [
        ("raw reader", [os.path.join(bench, "raw_reader"), "127.0.0.1", "{port}", PATH],
         check_raw),
        ("bulk reader", [os.path.join(bench, "raw_reader"), "127.0.0.1", "{port}", PATH,
                         "--bulk"], check_bulk),
        ("count host", count, check_count),
        # The same host with RTSPSessionOptions::receiveBufferBytes at the
        # value recommended() sets, and with all of recommended().
        ("count host, 256 KiB buffer", count + ["--recv-buffer", str(256 * 1024)], check_count),
        (RECOMMENDED, count + ["--recommended", "yes"], check_count),
        ("rtsp-pull -o /dev/null", [pull, "--overwrite", "--format", "annexb", "-o", "/dev/null",
                                    "{url}"], check_rtsp_pull),
        (FFMPEG, ffmpeg_multi(1), check_ffmpeg, ffmpeg_multi),
        ("GStreamer rtspsrc", gst_multi(1), check_none, gst_multi),
    ], args.client)


# --------------------------------------------------------------- report

def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, pattern, none="-"):
    return none if value is None else format(value, pattern)


def verdict(runs):
    states = {r.complete for r in runs}
    if False in states:
        return "NO (%d/%d runs)" % (sum(1 for r in runs if r.complete is False), len(runs))
    if states == {True}:
        return "yes"
    return "not reported"


def alternate(args, title, clients, packets, **kw):
    """A section: args.runs runs of each client, the order rotated each round
    so that no client always follows the same one; {name: [Run]}."""
    print(f"\n== {title}: {packets} packets per run, {args.runs} runs, clients alternating ==")
    results = {c.name: [] for c in clients}
    for r in range(args.runs):
        for c in clients[r % len(clients):] + clients[:r % len(clients)]:
            run = run_client(args, c, packets, **kw)
            results[c.name].append(run)
            print(f"  run {r + 1} {c.name:26s} cpu {run.cpu / run.packets * 1e6:6.2f} us/pkt"
                  f"  rss {run.rss_kib / 1024:6.1f} MiB  exit {run.status}"
                  f"  complete {run.complete}", file=sys.stderr)
    return results


def full_speed(args, title, clients, packets, header):
    """A section as fast as possible, with the head of its table printed:
    {name: (runs, then medians: CPU s/packet, packets/s, peak RSS MiB)}."""
    results = alternate(args, title, clients, whole_frames(args.recording, packets))
    print(f"{'client':26s} {'packets/s':>10s} {'CPU us/pkt':>10s}" + header)
    return {name: (runs, med([r.cpu / r.packets for r in runs]),
                   med([r.packets / r.stream_s if r.stream_s else None for r in runs]),
                   med([r.rss_kib / 1024 for r in runs])) for name, runs in results.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build-perf"))
    ap.add_argument("--stream", help="recorded stream (default: generated once)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--packets", type=int, default=200000)
    ap.add_argument("--paced-seconds", type=float, default=3.0)
    ap.add_argument("--paced-bitrate", type=float, default=20e6)
    ap.add_argument("--sessions", type=int, default=9,
                    help="streams in one process for the per-stream memory figure")
    ap.add_argument("--memory-seconds", type=float, default=5.0,
                    help="length of each stream of the memory runs")
    ap.add_argument("--timeout", type=float, default=120)
    ap.add_argument("--client", action="append", default=[])
    ap.add_argument("--only", action="append", default=[],
                    help="run only clients whose name contains this text")
    ap.add_argument("--no-peers", action="store_true", help="skip ffmpeg and GStreamer")
    ap.add_argument("--goals", action="store_true",
                    help="only the rows of the CPU goals: the two-read floor, the count "
                    "host with recommended() and ffmpeg, over TCP at full speed, over UDP "
                    "at 20 Mbit/s and over TLS")
    ap.add_argument("--skip", action="append", default=[],
                    choices=["throughput", "paced", "memory", "udp", "recorder", "tls", "audio"])
    ap.add_argument("--tls-packets", type=int, default=100000,
                    help="packets per run of the TLS section")
    ap.add_argument("--udp-bitrates", default="20e6,200e6",
                    help="rates of the UDP runs, bits per second, comma-separated")
    ap.add_argument("--udp-seconds", type=float, default=3.0)
    ap.add_argument("--udp-client", action="append", default=[],
                    help="another UDP client: 'NAME=COMMAND TEMPLATE' (counts like count_host)")
    ap.add_argument("--recorder-packets", type=int, default=60000)
    ap.add_argument("--recorder-client", action="append", default=[],
                    help="another recorder: 'NAME=COMMAND TEMPLATE'; {out} is the MP4 path")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.server = os.path.join(args.build, "bench", "loopback_server")
    args.launcher = os.path.join(args.build, "bench", "rusage_exec")

    if not args.stream:
        args.stream = "/tmp/rtsppull-bench/stream.rtp"
        if not os.path.exists(args.stream):
            os.makedirs(os.path.dirname(args.stream), exist_ok=True)
            subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_stream.py"),
                            args.stream + ".part"], check=True)
            os.rename(args.stream + ".part", args.stream)
    header, args.recording = load_recording(args.stream)
    mean_len = sum(len(p) for p in args.recording) / len(args.recording)

    clients = make_clients(args)
    if args.goals:
        args.only = [RECOMMENDED, FFMPEG, RECOMMENDED_UDP, FFMPEG_UDP, RECOMMENDED_TLS, UDP_FLOOR]
        args.skip += ["paced", "memory", "recorder"]
        args.udp_bitrates = "20e6"
    if args.only:
        clients = [c for c in clients
                   if c.name == "raw reader" or any(o in c.name for o in args.only)]

    cpu_model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu_model = line.split(":", 1)[1].strip()
                break
    print(f"machine: {os.cpu_count()} CPUs, {cpu_model}, load {os.getloadavg()[0]:.2f}")
    print(f"stream: {args.stream}: {len(args.recording)} packets, mean {mean_len:.0f} bytes")

    goals = []  # (what, ratio, goal text)
    # ---- as fast as the socket takes it
    if "throughput" not in args.skip:
        rows = full_speed(args, "as fast as possible", clients, args.packets,
                          f" {'x raw':>6s} {'peak RSS':>9s} {'1st pkt':>8s}  every packet")
        floor = rows["raw reader"][1]
        summary = {}
        for c in clients:
            runs, cpu, pps, rss = rows[c.name]
            ttfp = med([r.ttfp_ms for r in runs])
            summary[c.name] = cpu
            print(f"{c.name:26s} {fmt(pps, '10.0f')} {cpu * 1e6:10.2f} {cpu / floor:6.2f}"
                  f" {rss:6.1f} MiB {fmt(ttfp, '6.1f')}ms  {verdict(runs)}")
        bulk = summary.get("bulk reader")
        ffmpeg = summary.get(FFMPEG)
        print("ratios (CPU per packet):")
        for name, cpu in summary.items():
            if name in ("raw reader", "bulk reader") or not cpu:
                continue
            ours = next(c for c in clients if c.name == name).library_host()
            line = f"  {name:26s} x raw {cpu / floor:5.2f}" + (" (goal <= 0.25)" if ours else "")
            if bulk:
                line += f"  x bulk {cpu / bulk:5.2f}"
            if ffmpeg and ours:
                line += f"  ffmpeg / it {ffmpeg / cpu:6.2f} (goal >= 10)"
            print(line)
        if summary.get(RECOMMENDED):
            goals.append((f"TCP, full speed: {RECOMMENDED} CPU/packet x two-read floor",
                          summary[RECOMMENDED] / floor, "<= 0.25"))
            if ffmpeg:
                goals.append((f"TCP, full speed: {FFMPEG} / {RECOMMENDED}",
                              ffmpeg / summary[RECOMMENDED], ">= 10"))

    # ---- paced at 20 Mbit/s, with the handshake held at PLAY
    if "paced" not in args.skip:
        packets = whole_frames(args.recording, int(
            args.paced_seconds * args.paced_bitrate / 8 / (mean_len + 4)))
        results = alternate(args, f"paced at {args.paced_bitrate / 1e6:.0f} Mbit/s (~"
                            f"{args.paced_seconds:.0f} s)", clients, packets,
                            bitrate=args.paced_bitrate, hold=True)
        print(f"{'client':26s} {'CPU %':>7s} {'x raw':>6s} {'CPU to PLAY':>12s} {'faults':>7s}"
              "  every packet")
        paced = {}
        for c in clients:
            runs = results[c.name]
            paced[c.name] = med([(r.cpu - r.handshake_ns / 1e9) / r.stream_s * 100
                                 if r.stream_s and r.handshake_ns is not None else None
                                 for r in runs])
        for c in clients:
            runs = results[c.name]
            pct = paced[c.name]
            ratio = pct / paced["raw reader"] if pct and paced.get("raw reader") else None
            hs = med([r.handshake_ns / 1e6 if r.handshake_ns is not None else None
                      for r in runs])
            flt = med([r.handshake_flt for r in runs])
            print(f"{c.name:26s} {fmt(pct, '7.3f')} {fmt(ratio, '6.2f')} {fmt(hs, '9.2f')} ms"
                  f" {fmt(flt, '7.0f')}  {verdict(runs)}")
        print("  goal: the library's hosts below the raw reader (x raw < 1)")
        print("  CPU % = CPU after PLAY / streaming time. CPU to PLAY = CPU of every live "
              "thread from exec to the moment the server got PLAY (goal < 5 ms for the "
              "count host); faults = minor page faults by then.")

        # Start-up alone: what exec and loading cost before any handshake.
        # The two floors: a static program that loads nothing, and one that
        # loads what the library loads (libstdc++ with its streams, ACE).
        bench = os.path.join(args.build, "bench")
        programs = [("exec floor (static, no libraries)", args.launcher),
                    ("start floor (libstdc++, ACE, libcrypto)", os.path.join(bench, "start_floor"))]
        seen = set()
        for c in clients:
            program = c.argv[0]
            if (os.path.basename(program) in ("raw_reader", "count_host", "rtsp-pull")
                    and program not in seen):
                seen.add(program)
                programs.append((c.name, program))
        starts = {name: [] for name, _ in programs}
        for _ in range(args.runs):
            for name, program in programs:
                starts[name].append(start_alone(args, program))
        print(f"\nstart alone (program started with no arguments: usage message, exit), "
              f"medians of {args.runs}:")
        print(f"{'program':34s} {'CPU':>9s} {'faults':>7s} {'peak RSS':>9s}")
        for name, _ in programs:
            cpu = med([x[0] for x in starts[name]])
            flt = med([x[1] for x in starts[name]])
            rss = med([x[2] / 1024 for x in starts[name]])
            print(f"{name:34s} {cpu * 1e3:6.2f} ms {flt:7.0f} {rss:5.2f} MiB")

    # ---- private memory: one stream, and what each further stream adds
    if "memory" not in args.skip:
        packets = whole_frames(args.recording, int(
            args.memory_seconds * args.paced_bitrate / 8 / (mean_len + 4)))
        floor = [start_floor_memory(args) for _ in range(args.runs)]
        floor_anon = med([f[0] for f in floor])
        floor_file = med([f[1] for f in floor])
        hosts = [c for c in clients if c.can_multi()]
        print(f"\n== private memory: streams paced at {args.paced_bitrate / 1e6:.0f} Mbit/s "
              f"each, {packets} packets (~{args.memory_seconds:.0f} s), 1 and "
              f"{args.sessions} streams in one process, {args.runs} runs ==")
        print(f"  floor: start_floor (libstdc++, ACE, libcrypto loaded): {floor_anon / 1024:.2f} MiB "
              f"private (anonymous), {floor_file / 1024:.2f} MiB of mapped files")
        one = {c.name: [] for c in hosts}
        many = {c.name: [] for c in hosts}
        for _ in range(args.runs):
            for c in hosts:
                one[c.name].append(run_client(args, c, packets, args.paced_bitrate,
                                              sample=True))
                many[c.name].append(run_client(args, c, packets, args.paced_bitrate,
                                               sessions=args.sessions, sample=True))
        print(f"{'client':26s} {'private':>9s} {'above floor':>12s} {'per further':>12s}"
              f" {'peak RSS':>9s} {'RSS ' + str(args.sessions):>9s}  every packet")
        for c in hosts:
            anon1 = med([r.anon_kib / 1024 for r in one[c.name]])
            anonn = med([r.anon_kib / 1024 for r in many[c.name]])
            rss1 = med([r.rss_kib / 1024 for r in one[c.name]])
            rssn = med([r.rss_kib / 1024 for r in many[c.name]])
            per = (anonn - anon1) / (args.sessions - 1)
            print(f"{c.name:26s} {anon1:5.2f} MiB {anon1 - floor_anon / 1024:8.2f} MiB"
                  f" {per:8.3f} MiB {rss1:5.1f} MiB {rssn:5.1f} MiB"
                  f"  {verdict(one[c.name] + many[c.name])}")
        print("  private = peak RssAnon of the process; above floor = less start_floor's; "
              f"per further = (private with {args.sessions} streams - with 1) / "
              f"{args.sessions - 1}. Goals for the library's hosts: < 0.5 MiB above the "
              "floor, < 0.1 MiB per further stream.")


    # ---- over UDP, side by side with ffmpeg over UDP
    if "udp" not in args.skip:
        for rate, cpus in udp_section(args, mean_len).items():
            if cpus.get(FFMPEG_UDP) and cpus.get(RECOMMENDED_UDP):
                goals.append((f"UDP, {rate / 1e6:.0f} Mbit/s: {FFMPEG_UDP} / {RECOMMENDED_UDP}",
                              cpus[FFMPEG_UDP] / cpus[RECOMMENDED_UDP], ">= 10"))
            if cpus.get(UDP_FLOOR) and cpus.get(RECOMMENDED_UDP):
                goals.append((f"UDP, {rate / 1e6:.0f} Mbit/s: {RECOMMENDED_UDP} / the UDP floor",
                              cpus[RECOMMENDED_UDP] / cpus[UDP_FLOOR], None))

    # ---- the recorder: MP4 files, side by side with ffmpeg
    if "recorder" not in args.skip:
        recorder_section(args)

    # ---- an audio track beside the video
    if "audio" not in args.skip:
        ratio = audio_section(args)
        if ratio:
            goals.append(("with audio / without, CPU per video packet", ratio, "<= 1.10"))
    if "tls" not in args.skip:
        cpus = tls_section(args)
        if cpus.get(RECOMMENDED) and cpus.get(RECOMMENDED_TLS):
            goals.append((f"TLS, full speed: {RECOMMENDED_TLS} / {RECOMMENDED}",
                          cpus[RECOMMENDED_TLS] / cpus[RECOMMENDED], "<= 1.5"))
        if cpus.get(FFMPEG_TLS) and cpus.get(RECOMMENDED_TLS):
            goals.append((f"TLS, full speed: {FFMPEG_TLS} / {RECOMMENDED_TLS}",
                          cpus[FFMPEG_TLS] / cpus[RECOMMENDED_TLS], "> 1"))

    if goals:
        print(f"\n== goals (CPU per packet, medians of {args.runs} runs, side by side) ==")
        for what, ratio, goal in goals:
            print(f"  {what:72s} {ratio:6.2f}" + (f"  (goal {goal})" if goal else ""))


def tls_files():
    """The bench server's self-signed certificate and key, made once."""
    cert, key = "/tmp/rtsppull-bench/tls.pem", "/tmp/rtsppull-bench/tls.key"
    if not os.path.exists(cert):
        os.makedirs(os.path.dirname(cert), exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert + ".part",
                        "-days", "3650", "-subj", "/CN=127.0.0.1"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.rename(cert + ".part", cert)
    return [cert, key]


def tls_section(args):
    """Plain TCP and TLS side by side at full speed: {client name: CPU s per
    packet}. The server's TLS runs in its own process, never the client's."""
    count = [os.path.join(args.build, "bench", "count_host"), "127.0.0.1", "{port}", PATH,
             "--recommended", "yes"]
    clients = [Client(RECOMMENDED, count, check_count),
               Client(RECOMMENDED_TLS, count + ["--tls", "yes"], check_count, tls=True)]
    if shutil.which("ffmpeg") and not args.no_peers:
        ffmpeg = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats",
                  "-progress", "{progress}"]
        clients += [Client(FFMPEG, ffmpeg + ["-rtsp_transport", "tcp", "-i", "{url}", "-c", "copy",
                                             "-f", "h264", "-y", "/dev/null"], check_ffmpeg),
                    Client(FFMPEG_TLS, ffmpeg + ["-i", "{url}", "-c", "copy",
                                                 "-f", "h264", "-y", "/dev/null"], check_ffmpeg,
                           tls=True)]
    if args.only:
        clients = [c for c in clients if any(o in c.name for o in args.only)]
    rows = full_speed(args, "plain TCP and TLS, as fast as possible", clients, args.tls_packets,
                      f" {'peak RSS':>9s}  every packet")
    cpus = {}
    for c in clients:
        runs, cpu, pps, rss = rows[c.name]
        cpus[c.name] = cpu
        print(f"{c.name:26s} {fmt(pps, '10.0f')} {cpu * 1e6:10.2f} {rss:6.1f} MiB  {verdict(runs)}")
    return cpus


def udp_clients(args):
    count = [os.path.join(args.build, "bench", "count_host"), "127.0.0.1", "{port}", PATH,
             "--transport", "udp", "--idle-ms", "1000"]
    return table(args, [
        # The floor: recvmmsg in the library's batches and rests, nothing else.
        (UDP_FLOOR, [os.path.join(args.build, "bench", "raw_reader"), "127.0.0.1", "{port}",
                     PATH, "--udp"], check_none),
        ("count host, UDP", count, check_none),
        (RECOMMENDED_UDP, count + ["--recommended", "yes"], check_none),
        ("rtsp-pull, UDP", [os.path.join(args.build, "tools", "rtsp-pull", "rtsp-pull"),
                            "--transport", "udp", "--overwrite", "--format", "annexb", "-o",
                            "/dev/null", "{url}"], check_none),
        (FFMPEG_UDP, ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-nostats",
                      "-rtsp_transport", "udp", "-i", "{url}", "-c", "copy", "-f", "h264", "-y",
                      "/dev/null"], check_none),
    ], args.udp_client)


def udp_received(run):
    """Packets the client got, from its own report: count_host's count, or
    the server's count less ffmpeg's "RTP: missed N packets" warnings."""
    m = re.search(r"(?:count_host|raw_reader) .*?packets=(\d+)", run.stderr)
    if m:
        return int(m.group(1))
    m = re.search(r"(\d+) packets", run.stderr)
    if m and "missed" not in run.stderr:
        return int(m.group(1))
    missed = sum(int(x) for x in re.findall(r"missed (\d+) packets", run.stderr))
    return run.packets - missed


def udp_section(args, mean_len):
    """The UDP runs; {rate: {client name: CPU s per packet received}}."""
    clients = udp_clients(args)
    if args.only:
        clients = [c for c in clients
                   if c.name == UDP_FLOOR or any(o in c.name for o in args.only)]
    by_rate = {}
    for rate in [float(x) for x in args.udp_bitrates.split(",")]:
        packets = whole_frames(args.recording, int(
            args.udp_seconds * rate / 8 / (mean_len + 4)))
        results = alternate(args, f"over UDP, paced at {rate / 1e6:.0f} Mbit/s", clients, packets,
                            bitrate=rate, hold=True)
        print(f"{'client':26s} {'CPU us/pkt':>10s} {'x floor':>7s} {'CPU %':>7s}"
              f" {'lost (median, max)':>20s} {'peak RSS':>9s}")
        cpus = {}
        for c in clients:
            runs = [r for r in results[c.name] if r.served_ok]
            got = [udp_received(r) for r in runs]
            streaming = [r.cpu - (r.handshake_ns or 0) / 1e9 for r in runs]
            cpus[c.name] = med([cpu / g for cpu, g in zip(streaming, got) if g > 0])
            pct = med([cpu / r.stream_s * 100 for cpu, r in zip(streaming, runs) if r.stream_s])
            lost = [r.packets - g for r, g in zip(runs, got)]
            rss = med([r.rss_kib / 1024 for r in runs])
            floor = cpus.get(UDP_FLOOR)
            print(f"{c.name:26s} {fmt(cpus[c.name] and cpus[c.name] * 1e6, '10.2f')}"
                  f" {fmt(floor and cpus[c.name] and cpus[c.name] / floor, '7.2f')}"
                  f" {fmt(pct, '7.2f')} {fmt(med(lost), '12.0f')} {fmt(max(lost or [0]), '7d')}"
                  f" {fmt(rss, '5.1f')} MiB  ({len(runs)}/{len(results[c.name])} served)")
        by_rate[rate] = cpus
        for name in (n for n in cpus if n not in (FFMPEG_UDP, UDP_FLOOR)):
            if cpus.get(FFMPEG_UDP) and cpus.get(name):
                print(f"  ffmpeg / {name} = {cpus[FFMPEG_UDP] / cpus[name]:.2f} (CPU per "
                      "packet received)")
    print("  CPU per packet = user + sys of the whole client after PLAY (the server holds "
          "its PLAY reply while the driver reads the client's CPU time) over the packets it "
          "got; the quiet end of each run included; lost = sent - received.")
    return by_rate


def recorder_section(args):
    """rtsp-pull -o out.mp4 against ffmpeg -c copy out.mp4 at full speed."""
    clients = table(args, [
        ("rtsp-pull -o out.mp4", [os.path.join(args.build, "tools", "rtsp-pull", "rtsp-pull"),
                                  "-o", "{progress}.mp4", "{url}"], check_rtsp_pull),
        ("ffmpeg -c copy out.mp4", ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                    "-nostats", "-rtsp_transport", "tcp", "-i", "{url}", "-c",
                                    "copy", "-f", "mp4", "-y", "{progress}.mp4"], check_none),
    ], args.recorder_client)
    if not clients:
        return
    rows = full_speed(args, "recorder, as fast as possible, to an MP4 file", clients,
                      args.recorder_packets, f" {'peak RSS':>9s} {'file MiB':>9s}  exit  every packet")
    summary = {}
    for c in clients:
        runs, cpu, pps, rss = rows[c.name]
        size = med([r.output_bytes / 2**20 if r.output_bytes else None for r in runs])
        summary[c.name] = (cpu, rss)
        print(f"{c.name:26s} {fmt(pps, '10.0f')} {cpu * 1e6:10.2f} {rss:5.1f} MiB"
              f" {fmt(size, '9.1f')}  {sorted({r.status for r in runs})}  {verdict(runs)}")
    ours = summary.get("rtsp-pull -o out.mp4")
    theirs = summary.get("ffmpeg -c copy out.mp4")
    if ours and theirs:
        print(f"  ffmpeg / rtsp-pull: CPU per packet {theirs[0] / ours[0]:.2f} (goal >= 3), "
              f"peak RSS {theirs[1] / ours[1]:.1f} (goal > 10)")


def audio_section(args):
    """The count host with recommended() against a server that also offers a
    PCMU track, with the audio track set up (taken by track) and without it,
    over TCP at full speed; returns the ratio of CPU per video packet."""
    count = [os.path.join(args.build, "bench", "count_host"), "127.0.0.1", "{port}", PATH,
             "--recommended", "yes", "--tracks"]
    clients = table(args, [
        ("count host, video", count + ["video"], check_count),
        ("count host, video + audio", count + ["audio"], check_count),
    ], [])
    if len(clients) < 2:
        return None
    results = alternate(args, "with an audio track (server --audio)", clients,
                        whole_frames(args.recording, args.packets), audio=True)
    print(f"{'client':26s} {'CPU us/video pkt':>16s} {'audio pkts':>10s}  every packet")
    cpu = {}
    for c in clients:
        runs = results[c.name]
        cpu[c.name] = med([r.cpu / r.packets for r in runs])
        audio = med([int(parse_fields(r.stderr).get("audio", 0)) for r in runs])
        print(f"{c.name:26s} {cpu[c.name] * 1e6:16.3f} {audio:10.0f}  {verdict(runs)}")
    ratio = cpu["count host, video + audio"] / cpu["count host, video"]
    print(f"  with audio / without: {ratio:.3f} (goal <= 1.10); audio packets (PCMU, 20 ms) "
          "and both tracks' sender reports come on their own interleaved channels")
    return ratio


def start_floor_memory(args):
    """start_floor's private and file-backed resident memory, in KiB."""
    out = subprocess.run([os.path.join(args.build, "bench", "start_floor")],
                         stdout=subprocess.PIPE, text=True).stdout
    f = parse_fields(out)
    return int(f["rss_anon_kib"]), int(f["rss_file_kib"])


if __name__ == "__main__":
    main()
