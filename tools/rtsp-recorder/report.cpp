#include "report.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace rtsp_recorder {

namespace {

double secondsSinceEpoch(std::chrono::system_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

std::string number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string number(uint64_t value) { return std::to_string(value); }

// Label values escape backslash, quote and line feed.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

class Metrics {
 public:
  void family(const char* name, const char* type, const char* help) {
    out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  }
  void sample(const std::string& name, const std::string& labels, const std::string& value) {
    out_ << name;
    if (!labels.empty()) out_ << '{' << labels << '}';
    out_ << ' ' << value << '\n';
  }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

template <typename Get>
void perCamera(Metrics& m, const std::vector<CameraStatus>& cameras, const char* name,
               const char* type, const char* help, Get get) {
  m.family(name, type, help);
  for (const CameraStatus& c : cameras) m.sample(name, "camera=\"" + label(c.name) + "\"", get(c));
}

}  // namespace

ProcessFigures processFigures() {
  ProcessFigures p;
  std::ifstream stat("/proc/self/stat");
  std::string text;
  std::getline(stat, text);
  const size_t close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3..13 come before utime (14) and stime (15).
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
      if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    p.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  std::ifstream rollup("/proc/self/smaps_rollup");
  std::string key;
  unsigned long long kib = 0;
  std::string line;
  while (std::getline(rollup, line)) {
    std::istringstream in(line);
    if (!(in >> key >> kib)) continue;
    if (key == "Rss:") p.residentBytes = kib * 1024;
    if (key == "Private_Clean:" || key == "Private_Dirty:") p.privateBytes += kib * 1024;
  }
  return p;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string camerasJson(const std::vector<CameraStatus>& cameras,
                        std::chrono::system_clock::time_point now) {
  std::ostringstream out;
  out << '[';
  for (size_t i = 0; i < cameras.size(); ++i) {
    const CameraStatus& c = cameras[i];
    const bool framed = c.lastFrame.time_since_epoch().count() != 0;
    out << (i ? "," : "") << "{\"name\":" << jsonString(c.name)
        << ",\"state\":" << jsonString(stateName(c.state)) << ",\"reason\":" << jsonString(c.reason)
        << ",\"lastFrame\":" << (framed ? number(secondsSinceEpoch(c.lastFrame)) : "null")
        << ",\"lastFrameAge\":"
        << (framed ? number(std::chrono::duration<double>(now - c.lastFrame).count()) : "null")
        << ",\"bitrate\":" << number(c.bitsPerSecond) << ",\"packets\":" << c.packets
        << ",\"bytes\":" << c.bytes << ",\"lost\":" << c.lost << ",\"frames\":" << c.frames
        << ",\"files\":" << c.files << ",\"reconnects\":" << c.reconnects
        << ",\"segmentBytes\":" << c.segmentBytesWritten
        << ",\"jitter\":" << number(c.jitterSeconds) << ",\"viewers\":" << c.viewers
        << ",\"currentFile\":" << jsonString(c.currentFile) << '}';
  }
  out << ']';
  return out.str();
}

std::string recordingsJson(const std::vector<SegmentFile>& files) {
  std::vector<SegmentFile> sorted = files;
  std::sort(sorted.begin(), sorted.end(), [](const SegmentFile& a, const SegmentFile& b) {
    return a.modified != b.modified ? a.modified > b.modified : a.path > b.path;
  });
  std::ostringstream out;
  out << "{\"days\":[";
  std::string day;
  for (const SegmentFile& f : sorted) {
    const std::time_t t = std::chrono::system_clock::to_time_t(f.modified);
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    if (text != day) {
      out << (day.empty() ? "" : "]},") << "{\"day\":" << jsonString(text) << ",\"files\":[";
      day = text;
    } else {
      out << ',';
    }
    const size_t slash = f.path.rfind('/');
    out << "{\"name\":" << jsonString(f.path.substr(slash == std::string::npos ? 0 : slash + 1))
        << ",\"bytes\":" << f.bytes << ",\"time\":" << number(secondsSinceEpoch(f.modified))
        << ",\"active\":" << (f.active ? "true" : "false") << '}';
  }
  out << (day.empty() ? "" : "]}") << "]}";
  return out.str();
}

std::string metricsText(const std::vector<CameraStatus>& cameras, long long diskFreeBytes,
                        const ProcessFigures& process, std::chrono::system_clock::time_point now) {
  Metrics m;
  m.family("rtsp_recorder_camera_state", "gauge",
           "1 for the state the camera is in (starting, recording, reconnecting, disk-full, "
           "stopped)");
  for (const CameraStatus& c : cameras) {
    for (CameraState s :
         {CameraState::kStarting, CameraState::kRecording, CameraState::kReconnecting,
          CameraState::kDiskFull, CameraState::kStopped})
      m.sample("rtsp_recorder_camera_state",
               "camera=\"" + label(c.name) + "\",state=\"" + stateName(s) + "\"",
               c.state == s ? "1" : "0");
  }
  // Per-camera figures that are fields of the camera's status, as they are.
  struct Field {
    const char* name;
    const char* type;
    const char* help;
    uint64_t CameraStatus::*count;  // or
    double CameraStatus::*value;
  };
  static const Field kFields[] = {
      {"rtsp_recorder_packets_total", "counter", "RTP packets received", &CameraStatus::packets,
       nullptr},
      {"rtsp_recorder_bytes_total", "counter", "RTP bytes received", &CameraStatus::bytes, nullptr},
      {"rtsp_recorder_packets_lost_total", "counter", "RTP packets missing from the sequence",
       &CameraStatus::lost, nullptr},
      {"rtsp_recorder_frames_total", "counter", "Pictures recorded", &CameraStatus::frames,
       nullptr},
      {"rtsp_recorder_jitter_seconds", "gauge", "Interarrival jitter of the running session",
       nullptr, &CameraStatus::jitterSeconds},
      {"rtsp_recorder_reconnects_total", "counter", "Successful starts after the first",
       &CameraStatus::reconnects, nullptr},
      {"rtsp_recorder_bitrate_bits_per_second", "gauge",
       "Received bitrate over the last second or so", nullptr, &CameraStatus::bitsPerSecond},
      {"rtsp_recorder_segment_bytes_written_total", "counter", "Bytes written to MP4 segments",
       &CameraStatus::segmentBytesWritten, nullptr},
      {"rtsp_recorder_segments_total", "counter", "Segment files opened", &CameraStatus::files,
       nullptr},
  };
  for (const Field& f : kFields) {
    perCamera(m, cameras, f.name, f.type, f.help, [&f](const CameraStatus& c) {
      return f.count != nullptr ? number(c.*f.count) : number(c.*f.value);
    });
  }
  perCamera(m, cameras, "rtsp_recorder_last_frame_age_seconds", "gauge",
            "Seconds since the last picture (+Inf before the first)", [now](const CameraStatus& c) {
              if (c.lastFrame.time_since_epoch().count() == 0)
                return number(static_cast<double>(INFINITY));
              return number(std::chrono::duration<double>(now - c.lastFrame).count());
            });
  perCamera(m, cameras, "rtsp_recorder_live_viewers", "gauge", "Live viewers",
            [](const CameraStatus& c) { return number(static_cast<uint64_t>(c.viewers)); });
  m.family("rtsp_recorder_disk_free_bytes", "gauge", "Free bytes where the store is");
  m.sample("rtsp_recorder_disk_free_bytes", "", number(static_cast<double>(diskFreeBytes)));
  m.family("process_cpu_seconds_total", "counter", "User and system CPU time");
  m.sample("process_cpu_seconds_total", "", number(process.cpuSeconds));
  m.family("process_resident_memory_bytes", "gauge", "Resident memory");
  m.sample("process_resident_memory_bytes", "", number(process.residentBytes));
  m.family("rtsp_recorder_private_memory_bytes", "gauge", "Private (unshared) memory");
  m.sample("rtsp_recorder_private_memory_bytes", "", number(process.privateBytes));
  return m.text();
}

}  // namespace rtsp_recorder
