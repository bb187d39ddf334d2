// The Transport header of a reply to SETUP over UDP and the clock rate of the
// video, without sockets (the sockets are tested with whole sessions).
#include <cstdint>
#include <list>
#include <string>

#include <gtest/gtest.h>

#include "session/udp_transport.h"

namespace {

struct TransportRow {
  const char* name;
  const char* value;
  bool parsed, tcp;
  std::uint16_t serverRtpPort, serverRtcpPort;  // 0: no server_port
  const char* source;
  std::uint32_t ssrc;  // 0: no ssrc
};

// clang-format off
// name, value, parsed, tcp, serverRtpPort, serverRtcpPort, source, ssrc
const TransportRow kTransportRows[] = {
    {"everything", "RTP/AVP;unicast;client_port=30000-30001;server_port=6970-6971;ssrc=1A2B3C4D;source=10.0.0.5;mode=\"PLAY\"", true, false, 6970, 6971, "10.0.0.5", 0x1A2B3C4D},
    {"nothing but the profile", "RTP/AVP/UDP;unicast;client_port=30000-30001", true, false, 0, 0, "", 0},
    {"one server port", "RTP/AVP;unicast;server_port=5000", true, false, 5000, 5001, "", 0},
    {"spaces and upper case", "RTP/AVP ; Server_Port = 5002-5003 ; SSRC=00ab ; Source = 127.0.0.1", true, false, 5002, 5003, "127.0.0.1", 0xAB},
    {"only the first of two transports counts", "RTP/AVP;server_port=5004-5005,RTP/AVP;server_port=7-8", true, false, 5004, 5005, "", 0},
    {"an ssrc beyond 32 bits", "RTP/AVP;server_port=5000-5001;ssrc=12345678901", true, false, 5000, 5001, "", 0},
    {"interleaved", "RTP/AVP/TCP;unicast;interleaved=0-1", true, true, 0, 0, "", 0},
    {"server port zero", "RTP/AVP;server_port=0-1", false, false, 0, 0, "", 0},
    {"server port out of range", "RTP/AVP;server_port=70000-70001", false, false, 0, 0, "", 0},
    {"no RTP profile", "RAW/RAW/UDP;server_port=5000-5001", false, false, 0, 0, "", 0},
};
// clang-format on

TEST(UdpTransport, ParsesTheReply) {
  for (const TransportRow& row : kTransportRows) {
    SCOPED_TRACE(row.name);
    TransportReply reply;
    std::string detail;
    ASSERT_EQ(parseTransportReply(row.value, reply, detail), row.parsed);
    if (!row.parsed) continue;
    EXPECT_EQ(reply.tcp, row.tcp);
    EXPECT_EQ(reply.hasServerPort, row.serverRtpPort != 0);
    EXPECT_EQ(reply.serverRtpPort, row.serverRtpPort);
    EXPECT_EQ(reply.serverRtcpPort, row.serverRtcpPort);
    EXPECT_EQ(reply.source, row.source);
    EXPECT_EQ(reply.hasSsrc, row.ssrc != 0);
    EXPECT_EQ(reply.ssrc, row.ssrc);
  }
}

TEST(UdpTransport, ClockRateComesFromTheVideoSection) {
  EXPECT_EQ(videoClockRate({"m=audio 0 RTP/AVP 97", "a=rtpmap:97 opus/48000/2",
                            "m=video 0 RTP/AVP 96", "a=rtpmap:96 VP8/45000\r\n"}),
            45000u);
  EXPECT_EQ(videoClockRate({"m=video 0 RTP/AVP 26"}), 90000u) << "no rtpmap";
}

}  // namespace
