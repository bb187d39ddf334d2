// Sessions against scripted cameras that bend RTSP, SDP and RTP the ways
// real ones are reported to (tests/data/camera_cases.txt), and the figures of stats() with exact
// arrival times (tests/data/stream_figures.txt; no counter goes down on the way).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <numeric>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "session/stream_stats.h"
#include "support/data_rows.h"
#include "support/rtp_packet.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// An RTP packet of payload type `type` and SSRC `ssrc`, 40 bytes.
std::string rtp(unsigned seq, int type = 96, std::uint32_t ssrc = 0x0A0B0C0D,
                std::uint32_t ts = 0) {
  std::string p = RtpPacket(seq, ts, ssrc, false, 40, 'v');
  p[1] = static_cast<char>(type);
  return p;
}
// A sender report of `ssrc` with RTP time `rtpTime` (packet count 7, octet count 700).
std::string senderReport(std::uint32_t ssrc, std::uint32_t rtpTime = 5) {
  return SenderReportPacket(ssrc, 0xE000000080000000u, rtpTime);
}

const std::string kCameraSdp =
    "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=cam\r\na=control:*\r\nm=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1\r\na=control:trackID=1\r\n";
using Block = std::map<std::string, std::string>;

// The value of `key` in `block`, or `otherwise` when it has none.
std::string valueOr(const Block& block, const std::string& key, const std::string& otherwise) {
  const auto found = block.find(key);
  return found == block.end() ? otherwise : found->second;
}

// Interleaved frames as tests/data/camera_cases.txt writes them.
std::vector<std::string> framesOf(const std::string& words) {
  std::vector<std::string> frames;
  for (const std::string& item : split(words, "|")) {
    std::istringstream in(item);
    std::string kind;
    int channel = 0, type = 96;
    unsigned n = 5;  // a sender report's RTP time unless given
    std::uint32_t ssrc = 0x0A0B0C0D;
    in >> kind >> channel;
    if (kind == "sr")
      in >> std::hex >> ssrc >> std::dec >> n;
    else
      in >> n >> type >> std::hex >> ssrc;
    for (unsigned seq = 0; kind == "video" && seq < n; ++seq)
      frames.push_back(frame('$', static_cast<char>(channel), rtp(seq)));
    if (kind == "rtp" || kind == "sr")
      frames.push_back(frame('$', static_cast<char>(channel),
                             kind == "sr" ? senderReport(ssrc, n) : rtp(n, type, ssrc)));
  }
  return frames;
}
std::string joined(const std::vector<std::string>& frames) {
  return std::accumulate(frames.begin(), frames.end(), std::string());
}

// A camera that behaves as `cam` says; it knows one session id only.
ScriptedServer::Script cameraScript(const Block& cam, bool playingCase) {
  const std::vector<std::string> stream =
      framesOf(valueOr(cam, "stream", playingCase ? "video 0 100" : "video 0 5"));
  // Over UDP the frames go at PLAY from another port than the server's, to client port + channel.
  if (cam.count("udp") > 0) {
    const auto media = std::make_shared<Datagram>(), quiet = std::make_shared<Datagram>();
    std::string transport = cam.at("udp");
    const std::size_t at = transport.find("%Q");
    if (at != std::string::npos)
      transport.replace(at, 2, std::to_string(quiet->port) + "-" + std::to_string(quiet->port + 1));
    return udpScript(transport, "", [media, quiet, stream](unsigned client, int tick) {
      for (std::size_t i = 0; tick == 0 && i < stream.size(); ++i)
        media->sendTo(client + static_cast<unsigned>(stream[i][1]), stream[i].substr(4));
      return std::string();
    });
  }
  const bool wantsUserAgent = cam.at("options").find("useragent") != std::string::npos;
  auto sent = std::make_shared<std::size_t>(0);
  auto playing = std::make_shared<std::atomic<bool>>(false);
  ScriptedServer::Script script{[cam, playing, wantsUserAgent](const std::string& m, int) {
    const std::string method = methodOf(m);
    const unsigned cseq = cseqOf(m);
    if (wantsUserAgent && m.find("\r\nUser-Agent: ") == std::string::npos)
      return reply("401 Unauthorized", cseq, "WWW-Authenticate: Basic realm=\"cam\"\r\n");
    if (*playing && method == "GET_PARAMETER") {
      const std::string status = valueOr(cam, "keepalive", "200 OK");
      if (status.empty()) return std::string();
      return reply(headerOf(m, "Session") == "1111" ? status : "454 Session Not Found", cseq);
    }
    if (method == "OPTIONS" || method == "DESCRIBE")
      return HandshakeAnswers{"", "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER",
                              valueOr(cam, "describe", ""), valueOr(cam, "sdp", kCameraSdp)}(m);
    if (method == "SETUP")
      return reply(
          "200 OK", cseq,
          "Transport: " + valueOr(cam, "transport", "RTP/AVP/TCP;unicast;interleaved=0-1") +
              "\r\n" + valueOr(cam, "setup", "Session: 1111;timeout=60") + "\r\n");
    if (method != "PLAY") return method == "TEARDOWN" ? reply("200 OK", cseq) : "";
    *playing = true;
    const std::string answer =
        reply("200 OK", cseq, valueOr(cam, "play", "Session: 1111") + "\r\n");
    const std::size_t afterCSeq = answer.find("\r\n", answer.find("CSeq")) + 2;
    return joined(framesOf(valueOr(cam, "before", ""))) + answer.substr(0, afterCSeq) +
           joined(framesOf(valueOr(cam, "inside", ""))) + answer.substr(afterCSeq);
  }};
  script.tick = [stream, sent, playing] {
    return *playing && *sent < stream.size() ? stream[(*sent)++] : std::string();
  };
  return script;
}

// The RTP packets among what a host got (RTCP passes too).
std::uint64_t rtpPackets(const std::vector<std::string>& packets) {
  return static_cast<std::uint64_t>(
      std::count_if(packets.begin(), packets.end(), [](const std::string& p) {
        return p.size() < 2 || static_cast<unsigned char>(p[1]) < 200 ||
               static_cast<unsigned char>(p[1]) > 204;
      }));
}

// A session's settings: recommended() options (default ones with `defaults`), diagnostics kept.
SessionConfig configFor(bool defaults, RTSP_TRANSPORT transport = RTSP_TRANSPORT_TCP) {
  SessionConfig config;
  config.options = defaults ? RTSPSessionOptions() : RTSPSessionOptions::recommended();
  config.options.transport = transport;
  config.options.diagnostics = [](const std::string&) {};
  config.recvSec = 5;
  return config;
}

TEST(Camera, SessionBehaviours) {
  for (Block cam : dataBlocks("camera_cases.txt")) {
    const std::string& name = cam.at("case");
    cam.emplace("options", "");
    const bool defaults = cam["options"].find("defaults") != std::string::npos;
    const bool playingCase = cam["options"].find("playing") != std::string::npos;
    const auto want = [&cam](const char* figure) { return std::stoull(valueOr(cam, figure, "0")); };
    const std::uint64_t packets = want("packets"), unknown = want("unknown"), rtcp = want("rtcp");
    ScriptedServer server(cameraScript(cam, playingCase));
    SessionConfig config =
        configFor(defaults, cam.count("udp") > 0 ? RTSP_TRANSPORT_UDP : RTSP_TRANSPORT_TCP);
    if (playingCase) config.options.keepAliveSec = 1;
    Session s(server.port, config);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(s.start(), cam.at("started") == "yes") << name;
    if (cam.at("started") == "yes") s.awaitPackets(static_cast<std::size_t>(packets));
    // What the camera sends after its last RTP packet (RTCP, a packet it drops) is counted too.
    s.await([&] {
      const RTSPSessionStats now = s.d.stats();
      return now.rtcpPackets >= rtcp && now.droppedUnknownPayloadType >= unknown &&
             now.droppedWrongSource >= want("wrongSource");
    });
    // Nothing more comes; keep-alive cases play 2.4 s in all.
    std::this_thread::sleep_until(started + std::chrono::milliseconds(playingCase ? 2400 : 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.d.stop();
    server.finish();
    const RTSPSessionStats figures = s.d.stats();
    EXPECT_EQ(rtpPackets(s.log->packets), packets) << name << ": RTP packets the host got";
    EXPECT_EQ(figures.packets, packets) << name;
    EXPECT_EQ(figures.droppedUnknownPayloadType, unknown) << name;
    EXPECT_EQ(figures.rtcpPackets, rtcp) << name;
    EXPECT_EQ(figures.droppedWrongSource, want("wrongSource")) << name;
    EXPECT_EQ(figures.keepAlivesRefused > 0, cam.count("refused") > 0) << name;
    if (cam.count("reports") > 0) {  // of the video source, as senderReport() makes them
      EXPECT_EQ(figures.senderReports, want("reports")) << name;
      EXPECT_EQ(figures.srNtpTime, 0xE000000080000000u) << name;
      EXPECT_EQ(figures.srRtpTime, 5u) << name;
      EXPECT_EQ(figures.srPacketCount, 7u) << name;
      EXPECT_EQ(figures.srOctetCount, 700u) << name;
    }
    std::string heard = server.received();
    const std::string port = std::to_string(server.port);
    for (std::size_t at; (at = heard.find(port)) != std::string::npos;)
      heard.replace(at, port.size(), "PORT");
    for (const std::string& text : split(valueOr(cam, "heard", ""), "|"))
      EXPECT_NE(heard.find(text), std::string::npos) << name << ": " << text;
    for (const std::string& text : split(valueOr(cam, "notHeard", ""), "|"))
      EXPECT_TRUE(text.empty() || heard.find(text) == std::string::npos) << name << ": " << text;
    const std::vector<Heard> requests = server.heard();
    const long bare = std::count_if(requests.begin(), requests.end(), [](const Heard& h) {
      return methodOf(h.text) != "RTSP/1.0" && h.text.find("\r\nUser-Agent: ") == std::string::npos;
    });
    EXPECT_EQ(bare, defaults ? static_cast<long>(requests.size()) - 2 : 0)
        << name << ": requests without a User-Agent";
  }
}

// A camera that ignores TEARDOWN: the stream of the first start (SSRC DEAD)
// goes on to its client port while the second start plays (SSRC BEEF). With
// recommended() options the second start binds another port pair and gets
// none of it; with default ones it binds the same pair and the streams mix.
TEST(Camera, AStaleStreamOfTheLastStartIsLeftOut) {
  const unsigned base = 54001 + static_cast<unsigned>(::getpid() % 500) * 2;
  for (const bool defaults : {false, true}) {
    SCOPED_TRACE(defaults ? "default options" : "recommended() options");
    Datagram media;
    auto ports = std::make_shared<std::vector<unsigned>>();
    auto seq = std::make_shared<unsigned>(0);
    ScriptedServer server(udpScript(
        ";server_port=" + std::to_string(media.port), "",
        [&media, ports, seq](unsigned client, int) {
          if (ports->empty() || ports->back() != client) ports->push_back(client);
          media.sendTo(ports->front(), rtp(++*seq, 96, 0xDEAD));
          if (ports->size() > 1) media.sendTo(client, rtp(*seq, 96, 0xBEEF));
          return std::string();
        },
        2));
    SessionConfig config = configFor(defaults, RTSP_TRANSPORT_UDP);
    config.localPortBase = base;
    Session s(server.port, config);
    ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
    s.awaitPackets(10);
    s.d.stop();
    const long first = static_cast<long>(s.log->packetCount());
    ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
    s.awaitPackets(static_cast<std::size_t>(first) + 20);
    s.d.stop();
    // The camera stops once it heard the second TEARDOWN... here, after the server's 30 s.
    const std::vector<std::string>& packets = s.log->packets;
    const bool stale = std::any_of(packets.begin() + first, packets.end(), [](const auto& p) {
      return p.compare(8, 4, "\0\0\xDE\xAD", 4) == 0;
    });
    EXPECT_EQ(stale, defaults) << "DEAD packets after the second start";
    const std::vector<Heard> setups = server.heard("SETUP");
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(headerOf(setups[0].text, "Transport") == headerOf(setups[1].text, "Transport"),
              defaults)
        << "the same client ports in both SETUPs";
    server.finish();
  }
}

// The packets of "arrivals" in tests/data/stream_figures.txt, each with its arrival in ms.
std::vector<std::pair<int, std::string>> arrivalsOf(const std::string& text) {
  std::vector<std::pair<int, std::string>> out;
  int at = 0;  // the last arrival
  for (const std::string& group : split(text, "|")) {
    std::istringstream in(group);
    std::string range, word;
    in >> range;
    const std::size_t dash = range.find('-');
    const int from = std::stoi(range);
    const int to = dash == std::string::npos ? from + 1 : std::stoi(range.substr(dash + 1));
    Block set = {{"every", "10"}, {"late", "0"},       {"twice", "0"}, {"ts", "-1"},
                 {"type", "96"},  {"ssrc", "A0B0C0D"}, {"size", "40"}};
    std::vector<int> gone, swaps;
    int first = at + 10;
    while (in >> word) {
      if (word[0] == '@')
        first = std::stoi(word.substr(1));
      else if (word[0] == '-' || word[0] == '~')
        (word[0] == '-' ? gone : swaps).push_back(std::stoi(word.substr(1)));
      else
        set[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    }
    const auto number = [&set](const char* key) { return std::stoi(set[key]); };
    const std::size_t begin = out.size();
    for (int i = 0; i < to - from; ++i) {
      const int seq = (from + i) & 0xFFFF;
      at = first + i * number("every") + (i % 2) * number("late");
      const long long ts = number("ts") < 0 ? at * 90LL : i * std::stoll(set["ts"]);
      std::string p = rtp(static_cast<unsigned>(seq), number("type"),
                          static_cast<std::uint32_t>(std::stoul(set["ssrc"], nullptr, 16)),
                          static_cast<std::uint32_t>(ts));
      p.resize(static_cast<std::size_t>(number("size")));
      const bool twice = number("twice") > 0 && i % number("twice") == 0;
      if (std::count(gone.begin(), gone.end(), seq) == 0)
        out.insert(out.end(), twice ? 2 : 1, {at, p});
    }
    for (const int n : swaps)
      std::swap(out[begin + static_cast<std::size_t>(n)],
                out[begin + static_cast<std::size_t>(n) + 1]);
  }
  return out;
}

TEST(StreamFigures, CountsLossReorderingDuplicatesJitterAndDrops) {
  StreamStats::Judgement video;
  video.payloadTypes = {96};
  video.dropMalformed = true;
  StreamStats::Judgement locked = video;
  locked.lockSource = locked.hasAnnouncedSsrc = true;
  locked.announcedSsrc = 0x0A0B0C0D;
  for (const Block& row : dataBlocks("stream_figures.txt")) {
    const std::string& name = row.at("case");
    const auto want = [&row](const char* figure) { return std::stoull(valueOr(row, figure, "0")); };
    const std::string judgement = valueOr(row, "judgement", "");
    StreamStats stats;
    stats.reset();
    stats.configure(judgement == "video"    ? video
                    : judgement == "locked" ? locked
                                            : StreamStats::Judgement(),
                    90000);
    const StreamStats::Clock::time_point start{std::chrono::hours(1)};
    std::uint64_t delivered = 0;
    bool backwards = false;  // a counter went down after a packet
    for (const auto& [atMs, p] : arrivalsOf(row.at("arrivals"))) {
      const RTSPSessionStats last = stats.snapshot();
      delivered += stats.onRtp(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(),
                               start + std::chrono::milliseconds(atMs));
      const RTSPSessionStats now = stats.snapshot();
      backwards = backwards || now.packets < last.packets || now.bytes < last.bytes ||
                  now.packetsLost < last.packetsLost || now.reordered < last.reordered;
    }
    stats.finish();
    const RTSPSessionStats s = stats.snapshot();
    EXPECT_FALSE(backwards) << name;
    EXPECT_EQ(delivered, want("delivered")) << name;
    EXPECT_EQ(s.packets, want("delivered")) << name;
    EXPECT_EQ(s.packetsLost, want("lost")) << name;
    EXPECT_EQ(s.reordered, want("reordered")) << name;
    EXPECT_EQ(s.duplicated, want("duplicated")) << name;
    EXPECT_EQ(s.jitter, want("jitter")) << name;
    EXPECT_DOUBLE_EQ(s.jitterSeconds, static_cast<double>(want("jitter")) / 90000.0) << name;
    EXPECT_EQ(s.droppedUnknownPayloadType, want("unknownType")) << name;
    EXPECT_EQ(s.droppedWrongSource, want("wrongSource")) << name;
    EXPECT_EQ(s.droppedMalformed, want("malformed")) << name;
  }
}

}  // namespace
