// rtsp-pull against the cameras of data/cameras.txt: a scripted camera on
// 127.0.0.1 sending 2 s of H.264 (60 pictures, a keyframe every 15), the tool
// run as users run it (recommended() options, MP4 output), and the outcome
// stated as a fact: exit status, pictures in the file (ffprobe), a clean
// decode (ffmpeg), and the message of a run that records nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "session/control_channel.h"
#include "support/media_files.h"
#include "support/rtp_packet.h"
#include "support/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using tunnel::base64;

// One camera of the data file: its name and its "key: value" lines.
struct Camera {
  std::string name;
  std::map<std::string, std::string> keys;
  bool has(const std::string& key) const { return keys.count(key) > 0; }
  std::string text(const std::string& key, const std::string& fallback = "") const {
    return has(key) ? keys.at(key) : fallback;
  }
  int number(const std::string& key, int fallback = 0) const {
    return has(key) ? std::stoi(keys.at(key)) : fallback;
  }
};

void PrintTo(const Camera& camera, std::ostream* out) { *out << camera.name; }

std::vector<Camera> cameras() {
  // clang-format off
  static const std::set<std::string> known = {"sdp", "sprop", "playHeaders", "udp", "setsInStapA",
      "setsMarked", "setsLate", "noMarkers", "fuAlways", "fuEmpty", "extensionPadding",
      "foreignPayloadType", "firstFrame", "restartAt", "noKeyframes", "silent", "frames", "status", "says"};
  // clang-format on
  std::vector<Camera> all;
  std::ifstream in(RTSPPULL_CAMERAS);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(": ");
    const std::string key = line.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
    for (std::size_t at = 0; (at = value.find('\\', at)) != std::string::npos; ++at)
      value.replace(at, 2, value[at + 1] == 'r' ? "\r" : "\n");
    if (key == "camera") {
      all.push_back({value, {}});
    } else if (all.empty() || known.count(key) == 0) {
      throw std::runtime_error("cameras.txt: unknown key " + key);
    } else {
      all.back().keys[key] = value;
    }
  }
  return all;
}

// 60 pictures of 160x96 at 30 a second, a keyframe every 15, no B-frames:
// the SPS, the PPS, and each picture's other units (x264's SEI in the first).
struct Stream {
  std::string sps, pps;
  std::vector<std::vector<std::string>> pictures;
};

const Stream& stream() {
  static const Stream made = [] {
    Stream s;
    TempDir dir;
    if (run("ffmpeg -v error -f lavfi -i testsrc=size=160x96:rate=30 -frames:v 60 -pix_fmt "
            "yuv420p -c:v libx264 -g 15 -bf 0 -f h264 " +
            dir.file("in") + " 2>&1")
            .first != 0)
      return s;
    const std::string bytes = readFile(dir.file("in")), start("\0\0\1", 3);
    std::vector<std::string> units;
    for (size_t at = bytes.find(start), end; at != std::string::npos; at = end) {
      end = bytes.find(start, at + 3);
      std::string nal = bytes.substr(at + 3, end == std::string::npos ? end : end - at - 3);
      while (!nal.empty() && nal.back() == '\0') nal.pop_back();
      const int type = nal[0] & 0x1F;
      if (type == 7 || type == 8)
        (type == 7 ? s.sps : s.pps) = nal;
      else
        units.push_back(nal);
      if (type == 1 || type == 5) s.pictures.push_back(std::move(units)), units.clear();
    }
    return s;
  }();
  return made;
}

// The camera's DESCRIBE body, its sprop-parameter-sets put in.
std::string describeBody(const Camera& c) {
  const std::string framed = std::string("\0\0\0\1", 4) + stream().sps + std::string(2, '\0');
  std::string sdp = c.text(
      "sdp",
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
      "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1;sprop-parameter-sets=$SPROP\r\n"
      "a=control:trackID=1\r\n");
  const std::pair<std::string, std::string> fills[] = {{"$SPROP", c.text("sprop", "$SPS,$PPS")},
                                                       {"$SPS_FRAMED", base64(framed)},
                                                       {"$SPS", base64(stream().sps)},
                                                       {"$PPS", base64(stream().pps)}};
  for (const auto& fill : fills)
    for (std::size_t at; (at = sdp.find(fill.first)) != std::string::npos;)
      sdp.replace(at, fill.first.size(), fill.second);
  return sdp;
}

// The RTP packets of the camera's stream, in the order it sends them.
std::vector<std::string> packets(const Camera& c) {
  const Stream& s = stream();
  std::vector<std::string> out;
  uint16_t sequence = 1000;
  uint32_t timestamp = 123456;
  const bool padded = c.has("extensionPadding"), fuAlways = c.has("fuAlways");
  const auto send = [&](const std::string& payload, uint32_t ts, bool marker, uint8_t type = 96) {
    std::string p = RtpPacket(sequence++, ts, 0x0A0B0C0D, false, 12);
    p[1] = char((marker && !c.has("noMarkers") ? 0x80 : 0) | type);
    if (padded)  // padding and an extension
      p[0] = char(0xB0), p += std::string("\xBE\xDE\0\1\x10\x22\0\0", 8);
    out.push_back(p + payload + (padded ? std::string("\0\0\3", 3) : ""));
  };
  const auto unit = [&](const std::string& nal, uint32_t ts, bool marker) {
    if (nal.size() <= 1200 && !fuAlways) return send(nal, ts, marker);
    const std::string indicator(1, char((nal[0] & 0xE0) | 28));
    for (size_t at = 1; at < nal.size(); at += 1000) {
      const bool last = at + 1000 >= nal.size();
      const char header = char((at == 1 ? 0x80 : 0) | (last ? 0x40 : 0) | (nal[0] & 0x1F));
      if (c.has("fuEmpty") && at > 1) send(indicator + char(nal[0] & 0x1F), ts, false);
      send(indicator + header + nal.substr(at, 1000), ts, marker && last);
    }
  };
  const bool marked = c.has("setsMarked");
  for (size_t i = 0; i < s.pictures.size(); ++i) {
    if (int(i) == c.number("restartAt", -1)) sequence += 5000, timestamp += 5 * 90000;
    const uint32_t ts = timestamp + 3000 * uint32_t(i);
    const bool keyframe = i % 15 == 0;
    if (int(i) < c.number("firstFrame") || (keyframe && c.has("noKeyframes"))) continue;
    if (keyframe) {
      const uint32_t setsTs = c.has("setsLate") && i > 0 ? ts - 3000 : ts;
      if (c.has("setsInStapA")) {
        const auto sized = [](const std::string& nal) {
          return std::string{char(nal.size() >> 8), char(nal.size())} + nal;
        };
        send("\x18" + sized(s.sps) + sized(s.pps), setsTs, marked);
      } else {
        unit(s.sps, setsTs, marked);
        unit(s.pps, setsTs, marked);
      }
    }
    if (marked) unit(std::string("\x06\x05\x11", 3) + std::string(16, 'U') + "x\x80", ts, true);
    if (c.has("foreignPayloadType")) send(std::string(40, '\x7C'), ts, true, 97);
    const std::vector<std::string>& nals = s.pictures[i];
    for (size_t n = 0; n < nals.size(); ++n) unit(nals[n], ts, n + 1 == nals.size());
  }
  return out;
}

// The camera on 127.0.0.1: answers the handshake and, from PLAY on, sends
// its packets over 1.5 s, interleaved on channel 0 or over UDP.
class CameraServer {
 public:
  explicit CameraServer(const Camera& camera)
      : camera_(camera), packets_(packets(camera)), server_(script()) {}
  ~CameraServer() { server_.finish(); }
  unsigned port() const { return server_.port; }

 private:
  rtsptest::ScriptedServer::Script script() {
    rtsptest::ScriptedServer::Script s{[this](const std::string& m, int) { return answer(m); }};
    s.tick = [this] { return tick(); };
    s.tickMs = 5;
    return s;
  }

  std::string answer(const std::string& m) {
    const std::string method = rtsptest::methodOf(m);
    const unsigned cseq = rtsptest::cseqOf(m);
    if (method == "OPTIONS" || method == "DESCRIBE")
      return rtsptest::HandshakeAnswers{
          "", "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER",
          "Content-Type: application/sdp\r\n", describeBody(camera_)}(m);
    std::string headers = "Session: 4711;timeout=60\r\n";
    if (method == "SETUP") {
      std::string transport = rtsptest::headerOf(m, "Transport");
      const size_t client = m.find("client_port=");
      if (client != std::string::npos) {
        clientPort_ = static_cast<unsigned>(std::stoul(m.substr(client + 12)));
        transport = "RTP/AVP;unicast;client_port=" + std::to_string(clientPort_) + "-" +
                    std::to_string(clientPort_ + 1) + ";server_port=40000-40001";
      }
      headers += "Transport: " + transport + "\r\n";
    }
    if (method == "PLAY") {
      playAt_ = Clock::now();
      playing_ = true;
      headers += camera_.text("playHeaders");
    }
    return rtsptest::reply("200 OK", cseq, headers);
  }

  std::string tick() {
    std::string out;
    if (!playing_ || camera_.has("silent")) return out;
    const double since = std::chrono::duration<double>(Clock::now() - playAt_).count();
    const auto due = static_cast<size_t>(since / 1.5 * static_cast<double>(packets_.size()));
    for (; sent_ < packets_.size() && sent_ <= due; ++sent_) {
      if (camera_.has("udp"))
        udp_.sendTo(clientPort_, packets_[sent_]);
      else
        out += rtsptest::frame('$', 0, packets_[sent_]);
    }
    return out;
  }

  const Camera camera_;
  const std::vector<std::string> packets_;
  // The server's thread only.
  bool playing_ = false;
  Clock::time_point playAt_;
  size_t sent_ = 0;
  unsigned clientPort_ = 0;
  Datagram udp_;
  rtsptest::ScriptedServer server_;  // last: its thread starts once the rest exists
};

class CameraCorpus : public ::testing::TestWithParam<Camera> {};

// A value of ffprobe's for the first video stream of `file`.
std::string probe(const std::string& file, const std::string& entry, const std::string& more = "") {
  std::string value = run("ffprobe -v error " + more + " -select_streams v:0 -show_entries " +
                          entry + " -of csv=p=0 '" + file + "' 2>&1")
                          .second;
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

TEST_P(CameraCorpus, RecordsWhatTheCameraSendsOrSaysWhyNot) {
  const Camera& c = GetParam();
  if (run("command -v ffprobe && command -v ffmpeg").first != 0) GTEST_SKIP() << "no ffmpeg";
  if (stream().pictures.size() != 60) GTEST_SKIP() << "ffmpeg cannot encode H.264";
  TempDir dir;
  const std::string out = dir.file("out.mp4"), err = dir.file("err"), stats = dir.file("stats");
  CameraServer camera(c);
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(camera.port()) + "/live";
  const std::string transport = c.has("udp") ? "udp" : "tcp";
  const int frames = c.number("frames", 60);
  // A camera with pictures ends when they are written (-t bounds a failure);
  // one without, or whose last picture ends with the stream, when it has had
  // time to send them all.
  const std::string until = frames > 0 && !c.has("noMarkers") ? "-t 25 -n " + std::to_string(frames)
                                                              : std::string("-t 3.5");
  const int status = run(std::string(RTSP_PULL_BINARY) + " -q " + until + " --transport " +
                         transport + " --stats " + stats + " -o " + out + " " + url + " 2>" + err)
                         .first;
  const std::string said = readFile(err);
  EXPECT_EQ(status, c.number("status")) << c.name << ": " << said;
  EXPECT_NE(said.find(c.text("says")), std::string::npos) << c.name << ": " << said;
  EXPECT_NE(readFile(stats).find("\"frames\":" + std::to_string(frames) + ","), std::string::npos)
      << c.name << ": the last --stats line counts the frames";
  if (frames == 0) {
    EXPECT_FALSE(std::ifstream(out).good()) << c.name << ": no file is left without a picture";
    return;
  }
  EXPECT_EQ(probe(out, "stream=nb_read_packets", "-count_packets"), std::to_string(frames))
      << c.name;
  EXPECT_EQ(run("ffmpeg -v error -i " + out + " -f null - 2>&1").second, "") << c.name;
  const double duration = std::atof(probe(out, "format=duration").c_str());
  EXPECT_LE(duration, (frames + 1) / 30.0) << c.name << ": no gap in the timeline";
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraCorpus, ::testing::ValuesIn(cameras()),
                         [](const ::testing::TestParamInfo<Camera>& row) {
                           std::string name;
                           for (char ch : row.param.name)
                             if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
                           return name.substr(0, 60);
                         });

}  // namespace
