// The rtsp-pull tool's depacketizers (H.264 and H.265 on their shared RTP
// base), the cases in data/tool_depacketizer.txt. Packets are copied into exactly sized heap
// buffers, so that AddressSanitizer reports any read past a packet.
#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>

#include "h264_depacketizer.h"
#include "h265_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

// The units in hex and "/" at each access unit's end; each access unit's
// timestamp, with "k" for a keyframe.
struct Units : NalSink {
  void onNal(const uint8_t* nal, size_t size) override {
    add(units, hex(std::string(reinterpret_cast<const char*>(nal), size)));
  }
  void onAccessUnitInfo(uint32_t time, bool key) override {
    add(info, std::to_string(time) + (key ? "k" : ""));
  }
  void onAccessUnitEnd() override { add(units, "/"); }
  static void add(std::string& to, const std::string& word) {
    to += (to.empty() ? "" : " ") + word;
  }
  std::string units, info;
};

// The cases of data/tool_depacketizer.txt.
TEST(ToolDepacketizer, YieldsTheUnitsAndCountsLossAndDamage) {
  const auto rows = rtsptest::dataFields("tool_depacketizer.txt");
  ASSERT_GE(rows.size(), 20u);
  const char* const counters[] = {"lost",      "dropped",     "late",
                                  "malformed", "unsupported", "restarts"};
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 6u) << row[0];
    Units sink;
    std::unique_ptr<RtpDepacketizer> depacketizer(
        row[1] == "h265" ? static_cast<RtpDepacketizer*>(new H265Depacketizer(sink))
                         : new H264Depacketizer(sink));
    for (const std::string& packet : split(row[2])) {
      const Bytes rtp = rtpFromText(packet);
      depacketizer->push(Bytes(rtp).data(), rtp.size());  // a copy holds exactly the packet
    }
    EXPECT_EQ(sink.units, row[3]) << row[0];
    EXPECT_EQ(sink.info, row[4]) << row[0];
    const RtpDepacketizer::Counters& n = depacketizer->counters();
    const uint64_t counted[] = {n.lost,      n.droppedFragments, n.late,
                                n.malformed, n.unsupported,      n.restarts};
    const std::vector<std::string> expected = split(row[5]);
    for (size_t i = 0; i < std::size(counters); ++i)
      EXPECT_EQ(std::to_string(counted[i]), expected.at(i)) << row[0] << ": " << counters[i];
  }
}

TEST(ToolDepacketizer, ReadsTheRtpHeaderAndTellsRtcpApart) {
  // Two CSRCs, a one-word extension and 3 bytes of padding around payload 0x41 0x07.
  const Bytes packet = {0xB2, 0xE0, 0x12, 0x34, 0,    0, 0, 9, 0, 0, 0, 7,    1,    1, 1, 1, 2,
                        2,    2,    2,    0xBE, 0xDE, 0, 1, 9, 9, 9, 9, 0x41, 0x07, 0, 0, 3};
  RtpPacket rtp;  // points into `packet`
  ASSERT_TRUE(parseRtp(packet.data(), packet.size(), rtp));
  EXPECT_EQ(rtp.sequence, 0x1234);
  EXPECT_TRUE(rtp.marker);
  EXPECT_EQ(rtp.payloadType, 96);
  EXPECT_EQ(Bytes(rtp.payload, rtp.payload + rtp.payloadSize), (Bytes{0x41, 0x07}));
  EXPECT_FALSE(parseRtp(packet.data(), 27, rtp)) << "cut inside the extension";
  const Bytes zeroPadding = {0xA0, 96, 0, 1, 0, 0, 0, 9, 0, 0, 0, 7, 0x41, 0};
  EXPECT_FALSE(parseRtp(zeroPadding.data(), zeroPadding.size(), rtp)) << "a padding count of 0";
  for (int type = 0; type < 256; ++type) {
    const Bytes header = {0x80, static_cast<uint8_t>(type)};
    EXPECT_EQ(isRtcp(header.data(), 2), type >= 192 && type <= 223) << type;
  }
}

}  // namespace
