#!/usr/bin/python3
# recorder_metrics.py METRICS.txt CAMERAS.json DOWN UP
#
# Parses rtsp-recorder's /metrics with prometheus_client's text parser and
# checks it against /api/cameras, taken just before it, while camera DOWN is
# reconnecting and camera UP records.

import json
import sys

from prometheus_client.parser import text_string_to_metric_families

metrics_path, cameras_path, down, up = sys.argv[1:5]
samples = {(s.name, frozenset(s.labels.items())): s.value
           for family in text_string_to_metric_families(open(metrics_path).read())
           for s in family.samples}
api = {c["name"]: c for c in json.load(open(cameras_path))}
failures = []


def check(fact, ok):
    if not ok:
        failures.append(fact)


# The sample rtsp_recorder_NAME of `camera` with `labels`, 0 when there is none.
def value(name, camera, **labels):
    return samples.get(("rtsp_recorder_" + name, frozenset(dict(camera=camera, **labels).items())), 0)


for camera, state in ((down, "reconnecting"), (up, "recording")):
    check(f"{camera}: /api/cameras state is {state}", api[camera]["state"] == state)
    check(f"{camera}: state {state} is 1", value("camera_state", camera, state=state) == 1)
    ones = [v for (n, l), v in samples.items() if n == "rtsp_recorder_camera_state"
            and ("camera", camera) in l and v == 1]
    check(f"{camera}: exactly one state is 1", len(ones) == 1)
    for name in ("packets_lost_total", "jitter_seconds", "reconnects_total", "last_frame_age_seconds"):
        check(f"{camera}: {name} present", ("rtsp_recorder_" + name, frozenset({("camera", camera)})) in samples)
    for name in ("packets_total", "bytes_total", "segment_bytes_written_total"):
        check(f"{camera}: {name} > 0", value(name, camera) > 0)
    check(f"{camera}: packets_total >= /api/cameras packets, taken before it",
          value("packets_total", camera) >= api[camera]["packets"])
    check(f"{camera}: packets_lost_total >= /api/cameras lost",
          value("packets_lost_total", camera) >= api[camera]["lost"])
check("the camera that is down has the older last frame",
      value("last_frame_age_seconds", down) > value("last_frame_age_seconds", up))
for name in ("rtsp_recorder_disk_free_bytes", "process_cpu_seconds_total", "process_resident_memory_bytes"):
    check(f"{name} > 0", samples.get((name, frozenset()), 0) > 0)
for f in failures:
    print("FAIL: /metrics: " + f, file=sys.stderr)
print(f"/metrics: {len(samples)} samples parsed, {len(failures)} failed checks")
sys.exit(1 if failures else 0)
