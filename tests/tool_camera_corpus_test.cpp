// rtsp-pull against the cameras of data/cameras.txt: a scripted camera on
// 127.0.0.1 sending 2 s of H.264 or H.265 (60 pictures, a keyframe every 15),
// the tool run as users run it (recommended() options, MP4 output), and the
// outcome stated as a fact: exit status, pictures and keyframes in the file
// (ffprobe), its duration and fragments, a clean decode (ffmpeg), and the
// message of a run that records nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "session/control_channel.h"
#include "support/data_rows.h"
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

// The blocks of the data file; a key the test does not know is a typo.
std::vector<Camera> cameras() {
  // clang-format off
  static const std::set<std::string> known = {"case", "sdp", "sprop", "playHeaders", "udp",
      "setsInStapA", "setsMarked", "setsLate", "noMarkers", "fuAlways", "fuEmpty", "extensionPadding",
      "foreignPayloadType", "firstFrame", "restartAt", "noKeyframes", "silent", "noSets", "h265", "timestamp",
      "pauses", "frames", "status", "says", "duration", "fragments"};
  // clang-format on
  std::vector<Camera> all;
  for (const auto& keys : rtsptest::dataBlocks("cameras.txt")) {
    for (const auto& key : keys)
      if (known.count(key.first) == 0)
        throw std::runtime_error("cameras.txt: unknown key " + key.first);
    all.push_back({keys.at("case"), keys});
  }
  return all;
}

// 60 pictures of 160x96 at 30 a second, a keyframe every 15, no B-frames, of
// H.264 or H.265: the parameter sets, and each picture's other units (the
// encoder's SEI in the first).
struct Stream {
  std::vector<std::string> sets;
  std::vector<std::vector<std::string>> pictures;
};

int nalType(const std::string& nal, bool h265) { return h265 ? nal[0] >> 1 & 0x3F : nal[0] & 0x1F; }

Stream encode(bool h265) {
  Stream s;
  TempDir dir;
  const std::string codec =
      h265 ? "-c:v libx265 -x265-params keyint=15:min-keyint=15:bframes=0:scenecut=0:log-level=none"
             " -f hevc "
           : "-c:v libx264 -g 15 -bf 0 -f h264 ";
  // A failed encoding leaves no pictures, and the test skips.
  run("ffmpeg -v error -f lavfi -i testsrc=size=160x96:rate=30 -frames:v 60 -pix_fmt yuv420p " +
      codec + dir.file("in") + " 2>&1");
  const std::string bytes = readFile(dir.file("in")), start("\0\0\1", 3);
  std::vector<std::string> units;
  for (size_t at = bytes.find(start), end; at != std::string::npos; at = end) {
    end = bytes.find(start, at + 3);
    std::string nal = bytes.substr(at + 3, end == std::string::npos ? end : end - at - 3);
    while (!nal.empty() && nal.back() == '\0') nal.pop_back();
    const int type = nalType(nal, h265);
    if (h265 ? type >= 32 && type <= 34 : type == 7 || type == 8) {
      if (s.pictures.empty()) s.sets.push_back(nal);  // the camera repeats them at each keyframe
      continue;
    }
    units.push_back(nal);
    if (h265 ? type < 32 : type == 1 || type == 5)
      s.pictures.push_back(std::move(units)), units.clear();
  }
  return s;
}

const Stream& stream(bool h265) {
  static std::map<bool, Stream> made;  // each encoded once, when first asked for
  if (made.count(h265) == 0) made[h265] = encode(h265);
  return made[h265];
}

// The camera's DESCRIBE body, its sprop-parameter-sets put in.
std::string describeBody(const Camera& c) {
  const Stream& s = stream(c.has("h265"));
  const std::string framed = std::string("\0\0\0\1", 4) + s.sets.at(0) + std::string(2, '\0');
  std::string sdp = c.text(
      "sdp",
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
      "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1;sprop-parameter-sets=$SPROP\r\n"
      "a=control:trackID=1\r\n");
  const std::pair<std::string, std::string> fills[] = {{"$SPROP", c.text("sprop", "$SPS,$PPS")},
                                                       {"$SPS_FRAMED", base64(framed)},
                                                       {"$SPS", base64(s.sets.at(0))},
                                                       {"$PPS", base64(s.sets.at(1))}};
  for (const auto& fill : fills)
    for (std::size_t at; (at = sdp.find(fill.first)) != std::string::npos;)
      sdp.replace(at, fill.first.size(), fill.second);
  return sdp;
}

// The RTP packets of the camera's stream, in the order it sends them.
std::vector<std::string> packets(const Camera& c) {
  const bool h265 = c.has("h265");
  const Stream& s = stream(h265);
  std::vector<std::string> out;
  uint16_t sequence = 1000;
  uint32_t timestamp = static_cast<uint32_t>(std::stoul(c.text("timestamp", "123456")));
  std::map<int, double> pauses;  // seconds before a picture
  std::istringstream pausesText(c.text("pauses"));
  for (int picture; pausesText >> picture;) pausesText >> pauses[picture];
  const bool padded = c.has("extensionPadding"), fuAlways = c.has("fuAlways");
  const auto send = [&](const std::string& payload, uint32_t ts, bool marker, uint8_t type = 96) {
    std::string p = RtpPacket(sequence++, ts, 0x0A0B0C0D, false, 12);
    p[1] = char((marker && !c.has("noMarkers") ? 0x80 : 0) | type);
    if (padded)  // padding and an extension
      p[0] = char(0xB0), p += std::string("\xBE\xDE\0\1\x10\x22\0\0", 8);
    out.push_back(p + payload + (padded ? std::string("\0\0\3", 3) : ""));
  };
  // Units over 1200 bytes, or all with fuAlways, as fragments of 1000.
  const auto unit = [&](const std::string& nal, uint32_t ts, bool marker) {
    if (nal.size() <= 1200 && !fuAlways) return send(nal, ts, marker);
    const size_t head = h265 ? 2 : 1;
    const int type = nalType(nal, h265);
    const std::string indicator = h265 ? std::string{char((nal[0] & 0x81) | 49 << 1), nal[1]}
                                       : std::string(1, char((nal[0] & 0xE0) | 28));
    for (size_t at = head; at < nal.size(); at += 1000) {
      const bool last = at + 1000 >= nal.size();
      const char header = char((at == head ? 0x80 : 0) | (last ? 0x40 : 0) | type);
      if (c.has("fuEmpty") && at > head) send(indicator + char(type), ts, false);
      send(indicator + header + nal.substr(at, 1000), ts, marker && last);
    }
  };
  const bool marked = c.has("setsMarked");
  for (size_t i = 0; i < s.pictures.size(); ++i) {
    if (int(i) == c.number("restartAt", -1)) sequence += 5000, timestamp += 5 * 90000;
    timestamp += static_cast<uint32_t>(pauses[int(i)] * 90000);
    const uint32_t ts = timestamp + 3000 * uint32_t(i);
    const bool keyframe = i % 15 == 0;
    if (int(i) < c.number("firstFrame") || (keyframe && c.has("noKeyframes"))) continue;
    if (keyframe && !c.has("noSets")) {
      const uint32_t setsTs = c.has("setsLate") && i > 0 ? ts - 3000 : ts;
      std::string stapA = "\x18";
      for (const std::string& set : s.sets) {
        stapA += std::string{char(set.size() >> 8), char(set.size())} + set;
        if (!c.has("setsInStapA")) unit(set, setsTs, marked);
      }
      if (c.has("setsInStapA")) send(stapA, setsTs, marked);
    }
    if (marked) unit(std::string("\x06\x05\x11", 3) + std::string(16, 'U') + "x\x80", ts, true);
    if (c.has("foreignPayloadType")) send(std::string(40, '\x7C'), ts, true, 97);
    const std::vector<std::string>& nals = s.pictures[i];
    for (size_t n = 0; n < nals.size(); ++n) unit(nals[n], ts, n + 1 == nals.size());
  }
  return out;
}

// The camera on 127.0.0.1: udpScript's handshake with the camera's
// description, and from PLAY on its packets over 1.5 s, interleaved on
// channel 0 or over UDP.
rtsptest::ScriptedServer::Script cameraScript(const Camera& c) {
  struct Sending {
    std::vector<std::string> packets;
    Clock::time_point playAt;
    size_t sent = 0;
    Datagram udp;
  };
  const auto state = std::make_shared<Sending>();
  state->packets = packets(c);
  auto script =
      rtsptest::udpScript(";server_port=40000-40001", "", [c, state](unsigned port, int tick) {
        Sending& s = *state;
        std::string out;
        if (tick == 0) s.playAt = Clock::now();
        const double since = std::chrono::duration<double>(Clock::now() - s.playAt).count();
        for (; !c.has("silent") && s.sent < s.packets.size() &&
               static_cast<double>(s.sent) <= since / 1.5 * static_cast<double>(s.packets.size());
             ++s.sent) {
          if (port != 0)
            s.udp.sendTo(port, s.packets[s.sent]);
          else
            out += rtsptest::frame('$', 0, s.packets[s.sent]);
        }
        return out;
      });
  script.tickMs = 5;
  const auto handshake = script.answer;
  script.answer = [c, handshake](const std::string& m, int connection) {
    const std::string method = rtsptest::methodOf(m);
    if (method == "DESCRIBE")
      return rtsptest::HandshakeAnswers{"", "", "Content-Type: application/sdp\r\n",
                                        describeBody(c)}(m);
    if (method == "SETUP" && m.find("client_port=") == std::string::npos)  // the channels asked for
      return rtsptest::reply(
          "200 OK", rtsptest::cseqOf(m),
          "Session: 77\r\nTransport: " + rtsptest::headerOf(m, "Transport") + "\r\n");
    std::string reply = handshake(m, connection);
    if (method == "PLAY") reply.insert(reply.size() - 2, c.text("playHeaders"));
    return reply;
  };
  return script;
}

class CameraCorpus : public ::testing::TestWithParam<Camera> {};

TEST_P(CameraCorpus, RecordsWhatTheCameraSendsOrSaysWhyNot) {
  const Camera& c = GetParam();
  if (run("command -v ffprobe && command -v ffmpeg").first != 0) GTEST_SKIP() << "no ffmpeg";
  if (stream(c.has("h265")).pictures.size() != 60) GTEST_SKIP() << "ffmpeg cannot encode it";
  TempDir dir;
  const std::string out = dir.file("out.mp4"), err = dir.file("err"), stats = dir.file("stats");
  rtsptest::ScriptedServer camera(cameraScript(c));
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(camera.port) + "/live";
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
  camera.finish();
  const std::string said = readFile(err);
  EXPECT_EQ(status, c.number("status")) << c.name << ": " << said;
  EXPECT_NE(said.find(c.text("says")), std::string::npos) << c.name << ": " << said;
  EXPECT_NE(readFile(stats).find("\"frames\":" + std::to_string(frames) + ","), std::string::npos)
      << c.name << ": the last --stats line counts the frames";
  if (frames == 0) {
    EXPECT_FALSE(std::ifstream(out).good()) << c.name << ": no file is left without a picture";
    return;
  }
  std::istringstream flags(probe(out, "packet=flags", "v:0"));
  int packets = 0, keyframes = 0;
  for (std::string line; std::getline(flags, line); ++packets) keyframes += line[0] == 'K';
  EXPECT_EQ(packets, frames) << c.name;
  EXPECT_EQ(keyframes, (frames + 14) / 15) << c.name;
  EXPECT_EQ(run("ffmpeg -v error -i " + out + " -f null - 2>&1").second, "") << c.name;
  // A picture of 1/30 s each and the pauses under 10 s; none lost to a restart.
  EXPECT_NEAR(std::atof(probe(out, "format=duration", "v:0").c_str()),
              std::atof(c.text("duration", std::to_string(frames / 30.0)).c_str()), 0.01)
      << c.name;
  const std::string mp4 = readFile(out);
  int fragments = 0;  // each begins at the first keyframe a second after the one before
  for (size_t at = 0; (at = mp4.find("moof", at + 1)) != std::string::npos;) ++fragments;
  EXPECT_EQ(fragments, c.number("fragments", 2)) << c.name;
  // Cut inside its last fragment, as a crash leaves it, the file still plays
  // every picture of the fragments before.
  const std::size_t lastFragment = mp4.rfind("moof") - 4;
  std::ofstream(dir.file("cut.mp4"), std::ios::binary)
      << mp4.substr(0, lastFragment + (mp4.size() - lastFragment) / 2);
  std::istringstream positions(probe(out, "packet=pos", "v:0")),
      cut(probe(dir.file("cut.mp4"), "packet=pos", "v:0"));
  int whole = 0, played = 0;
  for (std::string line; std::getline(positions, line);) whole += std::stoul(line) < lastFragment;
  for (std::string line; std::getline(cut, line);) played += std::isdigit(line[0] & 0xFF) != 0;
  EXPECT_GE(played, whole) << c.name << ": pictures of the whole fragments in a cut file";
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraCorpus, ::testing::ValuesIn(cameras()),
                         [](const ::testing::TestParamInfo<Camera>& row) {
                           std::string name;
                           for (char ch : row.param.name)
                             if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
                           return name.substr(0, 60);
                         });

}  // namespace
