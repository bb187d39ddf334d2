// rtsp-pull against cameras that bend RTSP, RTP and H.264 the ways real ones
// are reported to: one row per behaviour, a scripted camera on 127.0.0.1
// sending 2 s of H.264 (60 pictures, a keyframe every 15), the tool run as
// users run it (recommended() options, MP4 output), and the outcome stated as
// a fact: exit status, pictures in the file (ffprobe), a clean decode
// (ffmpeg), and the message of a run that records nothing.
//
// Checked by hand once against `ffmpeg -rtsp_transport tcp|udp -i URL -c copy
// out.mp4` (RTSPPULL_CORPUS_PEER=ffmpeg runs that peer against every row
// instead of rtsp-pull and prints what it recorded). ffmpeg 5.1 records all
// 60 pictures, decoding cleanly, for every row but these: "SDP with audio and
// metadata before the video" (it waits for the audio this camera never sends
// and writes no file), "SDP with spaces inside a=fmtp" (60 pictures, but its
// decoder configuration from the spaced sprop draws complaints), "marker bit on
// parameter sets ..." (60 pictures with decode times that go backwards),
// "no keyframe ever" (an output without a stream), "silent after PLAY" and
// "SDP announcing payload type 98 ..." (no file); "a start in the middle of a GOP" gives 45, like
// rtsp-pull. It keeps the first session id and sends User-Agent on every request, and takes UDP
// from any port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session/control_channel.h"
#include "support/media_files.h"
#include "support/rtp_packet.h"
#include "support/scripted_server.h"

namespace {

using rtsptest::cseqOf;
using rtsptest::headerOf;
using rtsptest::methodOf;
using rtsptest::reply;
using Clock = std::chrono::steady_clock;
using tunnel::base64;

// What a camera does; a field left alone is what a well-behaved one does.
struct Camera {
  std::string name;
  // The handshake. In `sdp`, $SPROP is the sprop-parameter-sets value.
  std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
      "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1;sprop-parameter-sets=$SPROP\r\n"
      "a=control:trackID=1\r\n";
  std::string sprop = "";  // "": the sets as they are, Base64, comma-separated
  std::string describeHeaders = "";
  std::string session = "4711;timeout=2";
  std::string playSession = "";            // "": as in the SETUP reply
  std::string transport = "";              // the SETUP reply's Transport; "": the request's
  std::string playHeaders = "";            // the PLAY reply's other headers
  bool rtcpBeforePlayReply = false;        // sender reports, one of an unknown SSRC
  std::string keepAliveStatus = "200 OK";  // "": keep-alives unanswered
  bool wantsUserAgent = false;             // 401 to any request without User-Agent
  bool udp = false;  // --transport udp, the RTP sent from a port that was not announced
  // The stream: the encoder's SPS and PPS go in front of every keyframe.
  bool setsInStapA = false;  // those in a STAP-A
  bool setsMarked = false;   // the marker bit on their packets, and an SEI before each picture
  bool setsLate = false;     // with the timestamp of the picture before
  bool noMarkers = false;    // the marker bit never set
  bool fuAlways = false;     // every unit as FU-A, small ones as one fragment with both bits
  bool fuEmpty = false;      // an empty fragment inside every run
  bool extensionPadding = false;
  int firstFrame = 0;               // the pictures before it are not sent (a start mid-GOP)
  int restartAt = -1;               // the encoder restarts: sequence +5000, timestamp +5 s
  bool foreignPayloadType = false;  // packets of type 97 (not announced) between the pictures
  bool noKeyframes = false;
  bool silent = false;
  // The outcome.
  int frames = 60;
  int status = 0;
  std::string says = "";  // a fragment of the tool's standard error
};

void PrintTo(const Camera& camera, std::ostream* out) { *out << camera.name; }

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

// The RTP packets of the camera's stream, in the order it sends them.
std::vector<std::string> packets(const Camera& c) {
  const Stream& s = stream();
  std::vector<std::string> out;
  uint16_t sequence = 1000;
  uint32_t timestamp = 123456;
  const auto send = [&](const std::string& payload, uint32_t ts, bool marker, uint8_t type = 96) {
    std::string p = RtpPacket(sequence++, ts, 0x0A0B0C0D, false, 12);
    p[1] = char((marker && !c.noMarkers ? 0x80 : 0) | type);
    if (c.extensionPadding)  // padding and an extension
      p[0] = char(0xB0), p += std::string("\xBE\xDE\0\1\x10\x22\0\0", 8);
    out.push_back(p + payload + (c.extensionPadding ? std::string("\0\0\3", 3) : ""));
  };
  const auto unit = [&](const std::string& nal, uint32_t ts, bool marker) {
    if (nal.size() <= 1200 && !c.fuAlways) return send(nal, ts, marker);
    const std::string indicator(1, char((nal[0] & 0xE0) | 28));
    for (size_t at = 1; at < nal.size(); at += 1000) {
      const bool last = at + 1000 >= nal.size();
      const char header = char((at == 1 ? 0x80 : 0) | (last ? 0x40 : 0) | (nal[0] & 0x1F));
      if (c.fuEmpty && at > 1) send(indicator + char(nal[0] & 0x1F), ts, false);
      send(indicator + header + nal.substr(at, 1000), ts, marker && last);
    }
  };
  for (size_t i = 0; i < s.pictures.size(); ++i) {
    if (int(i) == c.restartAt) sequence += 5000, timestamp += 5 * 90000;
    const uint32_t ts = timestamp + 3000 * uint32_t(i);
    const bool keyframe = i % 15 == 0;
    if (int(i) < c.firstFrame || (keyframe && c.noKeyframes)) continue;
    if (keyframe) {
      const uint32_t setsTs = c.setsLate && i > 0 ? ts - 3000 : ts;
      if (c.setsInStapA) {
        const auto sized = [](const std::string& nal) {
          return std::string{char(nal.size() >> 8), char(nal.size())} + nal;
        };
        send("\x18" + sized(s.sps) + sized(s.pps), setsTs, c.setsMarked);
      } else {
        unit(s.sps, setsTs, c.setsMarked);
        unit(s.pps, setsTs, c.setsMarked);
      }
    }
    if (c.setsMarked)
      unit(std::string("\x06\x05\x11", 3) + std::string(16, 'U') + "x\x80", ts, true);
    if (c.foreignPayloadType) send(std::string(40, '\x7C'), ts, true, 97);
    const std::vector<std::string>& nals = s.pictures[i];
    for (size_t n = 0; n < nals.size(); ++n) unit(nals[n], ts, n + 1 == nals.size());
  }
  return out;
}

// The camera on 127.0.0.1: answers the handshake as `camera` says and, from
// PLAY on, sends its packets over 1.5 s, until a keep-alive names another
// session than the SETUP reply's (the camera expires the session then).
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
    const Camera& c = camera_;
    const std::string method = methodOf(m);
    const unsigned cseq = cseqOf(m);
    if (c.wantsUserAgent && headerOf(m, "User-Agent").empty())
      return reply("401 Unauthorized", cseq, "WWW-Authenticate: Basic realm=\"cam\"\r\n");
    if (playing_ && (method == "OPTIONS" || method == "GET_PARAMETER")) {  // a keep-alive
      const auto idOf = [](const std::string& session) {
        std::string id = session.substr(0, session.find(';'));
        return id.substr(0, id.find(' '));
      };
      if (idOf(headerOf(m, "Session")) != idOf(c.session)) {
        expired_ = true;
        return reply("454 Session Not Found", cseq);
      }
      return c.keepAliveStatus.empty() ? "" : reply(c.keepAliveStatus, cseq);
    }
    if (method == "OPTIONS" || method == "DESCRIBE") {
      std::string body = c.sdp, sprop = c.sprop;
      if (sprop.empty()) sprop = base64(stream().sps) + "," + base64(stream().pps);
      if (body.find("$SPROP") != std::string::npos) body.replace(body.find("$SPROP"), 6, sprop);
      return rtsptest::HandshakeAnswers{
          "", "OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER",
          c.describeHeaders + "Content-Type: application/sdp\r\n", body}(m);
    }
    if (method == "SETUP") {
      std::string transport = c.transport.empty() ? headerOf(m, "Transport") : c.transport;
      const size_t client = m.find("client_port=");
      if (client != std::string::npos) {
        clientPort_ = static_cast<unsigned>(std::stoul(m.substr(client + 12)));
        transport = "RTP/AVP;unicast;client_port=" + std::to_string(clientPort_) + "-" +
                    std::to_string(clientPort_ + 1) + ";server_port=40000-40001";
      }
      const size_t interleaved = transport.find("interleaved=");
      if (m.find("trackID=1 ") != std::string::npos && interleaved != std::string::npos)
        channel_ = std::stoi(transport.substr(interleaved + 12));  // the video's
      return reply("200 OK", cseq,
                   "Session: " + c.session + "\r\nTransport: " + transport + "\r\n");
    }
    if (method == "PLAY") {
      std::string early;
      if (c.rtcpBeforePlayReply) {
        for (const char* ssrc : {"\x0A\x0B\x0C\x0D", "\x55\x66\x77\x88"})
          early += rtsptest::frame(
              '$', char(channel_ + 1),
              std::string("\x80\xC8\0\x06", 4) + std::string(ssrc, 4) + std::string(20, '\x01'));
      }
      playAt_ = Clock::now();
      playing_ = true;
      return early + reply("200 OK", cseq,
                           "Session: " + (c.playSession.empty() ? c.session : c.playSession) +
                               "\r\n" + c.playHeaders);
    }
    return reply("200 OK", cseq);  // TEARDOWN
  }

  std::string tick() {
    std::string out;
    if (!playing_ || expired_ || camera_.silent) return out;
    const double since = std::chrono::duration<double>(Clock::now() - playAt_).count();
    const auto due = static_cast<size_t>(since / 1.5 * static_cast<double>(packets_.size()));
    for (; sent_ < packets_.size() && sent_ <= due; ++sent_) {
      if (camera_.udp)
        udp_.sendTo(clientPort_, packets_[sent_]);
      else
        out += rtsptest::frame('$', char(channel_), packets_[sent_]);
    }
    return out;
  }

  const Camera camera_;
  const std::vector<std::string> packets_;
  // The server's thread only.
  bool playing_ = false, expired_ = false;
  Clock::time_point playAt_;
  size_t sent_ = 0;
  unsigned clientPort_ = 0;
  int channel_ = 0;
  Datagram udp_;
  rtsptest::ScriptedServer server_;  // last: its thread starts once the rest exists
};

// clang-format off
std::vector<Camera> cameras() {
  const auto row = [](const char* name, const std::function<void(Camera&)>& change) {
    Camera c;
    c.name = name;
    change(c);
    return c;
  };
  const std::string sdp = Camera().sdp;
  const auto replaced = [&](std::string from, const std::string& what, const std::string& with) {
    from.replace(from.find(what), what.size(), with);
    return from;
  };
  return {
    row("well behaved", [](Camera&) {}),
    row("SDP without v=, a short o= line, trailing spaces", [&](Camera& c) { c.sdp = replaced(replaced(replaced(sdp, "v=0\r\n", ""), "o=- 1 1 IN IP4 127.0.0.1", "o=- 1"), "a=rtpmap:96 H264/90000", "a=rtpmap:96 H264/90000  "); }),
    row("SDP with spaces inside a=fmtp", [&](Camera& c) { c.sdp = replaced(replaced(sdp, "=1;", "=1; "), "sets=$SPROP", "sets= $SPROP"); c.sprop = base64(stream().sps) + ", " + base64(stream().pps); }),
    row("SDP with a bare a=fmtp:96", [&](Camera& c) { c.sdp = replaced(sdp, " packetization-mode=1;sprop-parameter-sets=$SPROP", ""); }),
    row("SDP with audio and metadata before the video", [&](Camera& c) { c.sdp = replaced(sdp, "m=video", "m=audio 0 RTP/AVP 0\r\na=control:trackID=0\r\nm=application 0 RTP/AVP 107\r\na=rtpmap:107 vnd.onvif.metadata/90000\r\na=control:trackID=2\r\nm=video"); }),
    row("SDP with a=control:* and an absolute control URL of another host", [&](Camera& c) { c.sdp = replaced(replaced(sdp, "t=0 0\r\n", "t=0 0\r\na=control:*\r\n"), "a=control:trackID=1", "a=control:rtsp://192.0.2.7:554/live/trackID=1"); }),
    row("Content-Base without a trailing slash", [](Camera& c) { c.describeHeaders = "Content-Base: rtsp://127.0.0.1:PORT/live\r\n"; }),
    row("parameter sets only in the stream", [&](Camera& c) { c.sdp = replaced(sdp, ";sprop-parameter-sets=$SPROP", ""); }),
    row("parameter sets only in the stream, in a STAP-A", [&](Camera& c) { c.sdp = replaced(sdp, ";sprop-parameter-sets=$SPROP", ""); c.setsInStapA = true; }),
    row("sprop-parameter-sets with zero bytes after the SPS and start codes", [](Camera& c) { c.sprop = base64(std::string("\0\0\0\1", 4) + stream().sps + std::string(2, '\0')) + "," + base64(stream().pps); }),
    row("a start in the middle of a GOP", [](Camera& c) { c.firstFrame = 5; c.frames = 45; }),
    row("marker bit on parameter sets and SEI, later sets with the previous timestamp", [](Camera& c) { c.setsMarked = c.setsLate = true; }),
    row("marker bit never set", [](Camera& c) { c.noMarkers = true; }),
    row("FU-A for every unit, small ones with both start and end bits", [](Camera& c) { c.fuAlways = true; }),
    row("FU-A with empty fragments", [](Camera& c) { c.fuEmpty = true; }),
    row("RTP header extensions and padding", [](Camera& c) { c.extensionPadding = true; }),
    row("RTP-Info with seq=0 and rtptime=-1", [](Camera& c) { c.playHeaders = "RTP-Info: url=rtsp://127.0.0.1:PORT/live/trackID=1;seq=0;rtptime=-1\r\n"; }),
    row("Transport reply with other channels and an odd ssrc=", [](Camera& c) { c.transport = "RTP/AVP/TCP;unicast;interleaved=6-7; ssrc= 0A0B0C0D"; }),
    row("RTCP sender reports, one of an unknown SSRC, before the PLAY reply", [](Camera& c) { c.rtcpBeforePlayReply = true; }),
    row("odd spacing in the Session header", [](Camera& c) { c.session = "4711 ;  timeout=2"; }),
    row("keep-alives refused", [](Camera& c) { c.keepAliveStatus = "405 Method Not Allowed"; }),
    row("keep-alives unanswered", [](Camera& c) { c.keepAliveStatus = ""; }),
    row("payload type 97, not announced, on the video channel", [](Camera& c) { c.foreignPayloadType = true; }),
    row("SDP announcing payload type 98 for a stream of type 96", [&](Camera& c) { c.sdp = replaced(replaced(replaced(sdp, "AVP 96", "AVP 98"), "rtpmap:96", "rtpmap:98"), "fmtp:96", "fmtp:98"); }),
    row("encoder restart: sequence and timestamp jump at a keyframe", [](Camera& c) { c.restartAt = 30; }),
    row("no keyframe ever", [](Camera& c) { c.noKeyframes = true; c.frames = 0; c.status = 1; c.says = "no frame was recorded: no keyframe came in"; }),
    row("silent after PLAY", [](Camera& c) { c.silent = true; c.frames = 0; c.status = 1; c.says = "no frame was recorded: no RTP packet arrived"; }),
    row("session id changes between SETUP and PLAY", [](Camera& c) { c.playSession = "9999;timeout=2"; }),
    row("401 to requests without User-Agent", [](Camera& c) { c.wantsUserAgent = true; }),
    row("RTP over UDP from another port than announced", [](Camera& c) { c.udp = true; }),
  };
}
// clang-format on

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
  const char* peer = std::getenv("RTSPPULL_CORPUS_PEER");
  TempDir dir;
  const std::string out = dir.file("out.mp4"), err = dir.file("err"), stats = dir.file("stats");
  CameraServer camera(c);
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(camera.port()) + "/live";
  const std::string transport = c.udp ? "udp" : "tcp";
  if (peer != nullptr) {  // by hand: what the peer records of the same camera
    run("timeout -k 5 20 ffmpeg -v error -timeout 1500000 -rtsp_transport " + transport + " -i " +
        url + " -c copy -y " + out + " 2>" + err);
    std::printf("%s: ffmpeg %s pictures, decoding says \"%s\"\n", c.name.c_str(),
                probe(out, "stream=nb_read_packets", "-count_packets").c_str(),
                run("ffmpeg -v error -i " + out + " -f null - 2>&1 | head -c 80").second.c_str());
    return;
  }
  // A row with pictures ends when they are written (-t bounds a failure); one
  // without, or whose last picture ends with the stream, when the camera has
  // had time to send them all.
  const std::string until =
      c.frames > 0 && !c.noMarkers ? "-t 25 -n " + std::to_string(c.frames) : std::string("-t 3.5");
  const int status = run(std::string(RTSP_PULL_BINARY) + " -q " + until + " --transport " +
                         transport + " --stats " + stats + " -o " + out + " " + url + " 2>" + err)
                         .first;
  const std::string said = readFile(err);
  EXPECT_EQ(status, c.status) << c.name << ": " << said;
  EXPECT_NE(said.find(c.says), std::string::npos) << c.name << ": " << said;
  EXPECT_NE(readFile(stats).find("\"frames\":" + std::to_string(c.frames) + ","), std::string::npos)
      << c.name << ": the last --stats line counts the frames";
  if (c.frames == 0) {
    EXPECT_FALSE(std::ifstream(out).good()) << c.name << ": no file is left without a picture";
    return;
  }
  EXPECT_EQ(probe(out, "stream=nb_read_packets", "-count_packets"), std::to_string(c.frames))
      << c.name;
  EXPECT_EQ(run("ffmpeg -v error -i " + out + " -f null - 2>&1").second, "") << c.name;
  const double duration = std::atof(probe(out, "format=duration").c_str());
  EXPECT_LE(duration, (c.frames + 1) / 30.0) << c.name << ": no gap in the timeline";
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraCorpus, ::testing::ValuesIn(cameras()),
                         [](const ::testing::TestParamInfo<Camera>& row) {
                           std::string name;
                           for (char ch : row.param.name)
                             if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
                           return name.substr(0, 60);
                         });

}  // namespace
