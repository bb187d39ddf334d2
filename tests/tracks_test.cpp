// Sessions of two tracks against the scripted server, over TCP, UDP and the
// fallback from one to the other: the SETUP of each track, the channels or
// ports it gets, a refused track dropped, the packets of each track handed
// on by track (or to OnRecvData for video alone), and the wall-clock time of
// each track from its sender reports.
#include <numeric>

#include <gtest/gtest.h>

#include "support/rtp_packet.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

const std::string kTwoTracks =
    "v=0\r\na=control:*\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;config=000001B0F5\r\na=control:trackID=1\r\n"
    "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=control:trackID=2\r\n";

// What the server sends each track once PLAY is answered: an RTP packet and
// a sender report whose time is kNtp[track] at RTP timestamp kRtp[track].
const std::uint64_t kNtp[2] = {0xE8A1B2C300000000ull, 0xE8A1B2C380000000ull};
const std::uint32_t kRtp[2] = {0xFFFFFF00u, 1000};
const std::uint32_t kRate[2] = {90000, 8000};
std::string mediaOf(int track, bool rtcp) {
  return rtcp ? SenderReportPacket(0x1000u + static_cast<unsigned>(track), kNtp[track], kRtp[track])
              : RtpPacket(static_cast<unsigned>(100 + track), 0,
                          0x1000u + static_cast<unsigned>(track));
}

// The value of `name=` in a Transport header: "A-B".
std::string transportValue(const std::string& request, const std::string& name) {
  const std::string transport = headerOf(request, "Transport");
  const std::string::size_type at = transport.find(name + "=");
  if (at == std::string::npos) return std::string();
  const std::string rest = transport.substr(at + name.size() + 1);
  return rest.substr(0, rest.find(';'));
}

// audioStatus: the answer to the audio SETUP; audioChannels: over TCP, "" as
// asked, else the server's choice; refuseUdp: 461 to every SETUP over UDP;
// wantChannels: of the tracks set up, RTP, RTCP, ... (-1: UDP); wantGot:
// OnTrackData packets of video RTP, RTCP, audio RTP, RTCP; wantRecvData:
// OnRecvData packets.
// clang-format off
struct Row {
  const char* name; RTSP_TRANSPORT transport; bool trackReceiver; std::string audioStatus, audioChannels;
  bool refuseUdp; std::vector<int> wantChannels; std::vector<std::size_t> wantGot; std::size_t wantRecvData;
};
// clang-format on

// The server: audio and video sent at PLAY over what each SETUP asked for,
// first a frame on channel 9 (no track's) when the video is interleaved.
struct TwoTrackServer {
  explicit TwoTrackServer(const Row& row) : server(script(row)) {}
  ScriptedServer::Script script(const Row& row) {
    ScriptedServer::Script s{[this, row](const std::string& m, int) {
      playing = playing || methodOf(m) == "PLAY";
      if (methodOf(m) != "SETUP")
        return HandshakeAnswers{"4711;timeout=60", "PLAY", "", kTwoTracks}(m);
      const int track = m.find("trackID=2") != std::string::npos ? 1 : 0;
      const std::string client = transportValue(m, "client_port");
      if (track == 1 && row.audioStatus != "200 OK")
        return reply(row.audioStatus, cseqOf(m), "Content-Length: 5\r\n", "nope!");
      if (!client.empty() && row.refuseUdp) return reply("461 Unsupported Transport", cseqOf(m));
      std::string transport = "RTP/AVP;unicast;client_port=" + client +
                              ";server_port=" + std::to_string(rtp[track].port) + "-" +
                              std::to_string(rtcp[track].port);
      if (client.empty()) {
        const bool chosen = track == 1 && !row.audioChannels.empty();
        channels[track] = chosen ? row.audioChannels : transportValue(m, "interleaved");
        transport = "RTP/AVP/TCP;unicast;interleaved=" + channels[track];
      } else {
        clientPort[track] = static_cast<unsigned>(std::stoul(client));
      }
      return reply("200 OK", cseqOf(m),
                   "Session: 4711;timeout=60\r\nTransport: " + transport + "\r\n");
    }};
    s.tick = [this] {
      if (!playing || sent) return std::string();
      sent = true;
      std::string frames = clientPort[0] == 0 ? frame('$', 9, "stray") : std::string();
      for (int track = 0; track < 2; ++track) {
        if (clientPort[track] != 0) {
          rtp[track].sendTo(clientPort[track], mediaOf(track, false));
          rtcp[track].sendTo(clientPort[track] + 1, mediaOf(track, true));
        } else if (!channels[track].empty()) {
          const char first = static_cast<char>(std::stoi(channels[track]));
          frames += frame('$', first, mediaOf(track, false)) +
                    frame('$', static_cast<char>(first + 1), mediaOf(track, true));
        }
      }
      return frames;
    };
    return s;
  }
  Datagram rtp[2], rtcp[2];
  // Per track, what the server answered: the client's RTP port (UDP) or
  // the interleaved channels (TCP).
  unsigned clientPort[2] = {0, 0};
  std::string channels[2];
  std::atomic<bool> playing{false};
  bool sent = false;
  ScriptedServer server;
};

void expectTracks(const Row& row) {
  SCOPED_TRACE(row.name);
  TwoTrackServer peer(row);
  SessionConfig config;
  config.options.tracks = RTSP_TRACKS_VIDEO_AUDIO;
  config.options.transport = row.transport;
  config.options.diagnostics = [](const std::string&) {};
  config.trackReceiver = row.trackReceiver;
  config.recvSec = 20;
  Session s(peer.server.port, config);
  ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
  auto* tracks = row.trackReceiver ? static_cast<TrackLog*>(s.log) : nullptr;
  const std::size_t wantGot = std::accumulate(row.wantGot.begin(), row.wantGot.end(), 0u);
  s.await([&] {  // every packet handed on, every track's sender report taken
    std::uint64_t at = 0;
    bool reported = true;
    for (const RTSPTrack& t : s.d.tracks()) reported = reported && s.d.wallClock(t.index, 0, &at);
    std::lock_guard<std::mutex> lock(s.log->mutex);
    return reported && (tracks == nullptr || tracks->got.size() >= wantGot) &&
           s.log->packets.size() >= row.wantRecvData;
  });
  // One second after each report's timestamp (video across the RTP wrap).
  std::uint64_t ntp[2] = {0, 0};
  const bool clock[2] = {s.d.wallClock(0, kRtp[0] + kRate[0], &ntp[0]),
                         s.d.wallClock(1, kRtp[1] + kRate[1], &ntp[1])};
  const std::vector<RTSPTrack> set = s.d.tracks();
  s.d.stop();
  peer.server.finish();
  const bool audio = set.size() > 1;

  std::vector<int> channels;
  for (const RTSPTrack& t : set) channels.insert(channels.end(), {t.rtpChannel, t.rtcpChannel});
  EXPECT_EQ(channels, row.wantChannels);
  EXPECT_EQ(set.back().media.encodingName, audio ? "PCMU" : "H264");
  // Over UDP each track's receiver report goes to its own server RTCP port.
  for (std::size_t t = 0; row.transport == RTSP_TRANSPORT_UDP && t < set.size(); ++t)
    EXPECT_EQ(peer.rtcp[t].receive(1000).substr(1, 1), "\xC9") << "a receiver report, track " << t;
  if (tracks != nullptr) {
    const std::vector<std::size_t> got = {tracks->count(0, false), tracks->count(0, true),
                                          tracks->count(1, false), tracks->count(1, true)};
    EXPECT_EQ(got, row.wantGot);
    for (const TrackLog::Got& g : tracks->got)
      EXPECT_EQ(g.data, mediaOf(g.track, g.rtcp)) << g.track << (g.rtcp ? " RTCP" : " RTP");
  }
  EXPECT_EQ(s.log->packets.size(), row.wantRecvData);
  EXPECT_TRUE(clock[0]) << "video";
  EXPECT_EQ(ntp[0], kNtp[0] + (1ull << 32)) << "video";
  EXPECT_EQ(clock[1], audio) << "audio";
  EXPECT_EQ(ntp[1], audio ? kNtp[1] + (1ull << 32) : 0) << "audio";

  // The audio SETUP goes out with the one session id; PLAY follows.
  const std::vector<Heard> setups = peer.server.heard("SETUP");
  const std::string& asked = setups.back().text;
  EXPECT_EQ(
      asked.substr(0, asked.find("\r\n")),
      "SETUP Rtsp://127.0.0.1:" + std::to_string(peer.server.port) + "/live/trackID=2 RTSP/1.0");
  EXPECT_EQ(headerOf(asked, "Session"), "4711");
  const bool udp = row.transport == RTSP_TRANSPORT_UDP;
  EXPECT_EQ(transportValue(asked, "interleaved"), udp ? "" : "2-3");
  if (udp) {
    EXPECT_NE(transportValue(asked, "client_port"), transportValue(setups[0].text, "client_port"));
  }
  EXPECT_EQ(cseqOf(peer.server.heard("PLAY").at(0).text), cseqOf(asked) + 1);
}

TEST(Tracks, TwoTrackSessions) {
  // clang-format off
  const Row rows[] = {
      {"TCP, a track receiver", RTSP_TRANSPORT_TCP, true, "200 OK", "", false, {0, 1, 2, 3}, {1, 1, 1, 1}, 0},
      {"TCP, the server picks channels 6-7 for audio", RTSP_TRANSPORT_TCP, true, "200 OK", "6-7", false, {0, 1, 6, 7}, {1, 1, 1, 1}, 0},
      {"TCP, no track receiver: video and the stray frame to OnRecvData, audio dropped", RTSP_TRANSPORT_TCP, false, "200 OK", "", false, {0, 1, 2, 3}, {}, 3},
      {"TCP, audio refused (461)", RTSP_TRANSPORT_TCP, true, "461 Unsupported Transport", "", false, {0, 1}, {1, 1, 0, 0}, 0},
      {"UDP, a track receiver", RTSP_TRANSPORT_UDP, true, "200 OK", "", false, {-1, -1, -1, -1}, {1, 1, 1, 1}, 0},
      {"UDP, no track receiver", RTSP_TRANSPORT_UDP, false, "200 OK", "", false, {-1, -1, -1, -1}, {}, 2},
      {"UDP, audio refused (404)", RTSP_TRANSPORT_UDP, true, "404 Not Found", "", false, {-1, -1}, {1, 1, 0, 0}, 0},
      {"UDP refused (461): both tracks over TCP", RTSP_TRANSPORT_UDP_THEN_TCP, true, "200 OK", "", true, {0, 1, 2, 3}, {1, 1, 1, 1}, 0},
  };
  // clang-format on
  for (const Row& row : rows) expectTracks(row);
}

}  // namespace
