// The rtsp-pull tool's depacketizers (H.264 and H.265 on their shared RTP
// base). Packets are copied into exactly sized heap buffers, so that
// AddressSanitizer reports any read past a packet.
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "h264_depacketizer.h"
#include "h265_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

// H.265 NAL unit headers (type << 1, layer 0, temporal id 1).
constexpr uint8_t kVps = 32 << 1, kIdr = 19 << 1, kTrail = 1 << 1, kAp = 48 << 1;

// An H.264 FU-A fragment of a unit with header `nal`.
Bytes fuA(uint8_t nal, bool start, bool end, Bytes body) {
  const int header = (start ? 0x80 : 0) | (end ? 0x40 : 0) | (nal & 0x1F);
  body.insert(body.begin(), {static_cast<uint8_t>((nal & 0xE0) | 28), uint8_t(header)});
  return body;
}

// An H.265 fragmentation unit of a unit of type `type`, layer id 32.
Bytes fu(uint8_t type, bool start, bool end, Bytes body) {
  const int fuHeader = (start ? 0x80 : 0) | (end ? 0x40 : 0) | type;
  body.insert(body.begin(), {49 << 1 | 1, 1, static_cast<uint8_t>(fuHeader)});  // layer id 32
  return body;
}

// The units in order, an empty one for each access-unit end, and each
// access unit's timestamp and keyframe flag.
using Infos = std::vector<std::pair<uint32_t, bool>>;
struct Units : NalSink {
  void onNal(const uint8_t* nal, size_t size) override { out.emplace_back(nal, nal + size); }
  void onAccessUnitInfo(uint32_t time, bool key) override { info.emplace_back(time, key); }
  void onAccessUnitEnd() override { out.emplace_back(); }
  std::vector<Bytes> out;
  Infos info;
};

TEST(ToolDepacketizer, YieldsTheUnitsAndCountsLossAndDamage) {
  struct Packet {
    uint16_t seq;
    uint32_t timestamp;
    bool marker;
    Bytes payload;
    uint32_t ssrc = 0x01020304;
  };
  struct Counts {
    uint64_t lost, dropped, late, malformed, unsupported, restarts = 0;
  };
  struct Row {
    const char* name;
    bool h265;
    std::vector<Packet> packets;
    std::vector<Bytes> units;
    Infos info;
    Counts counts;
  };
  // clang-format off
  const Row rows[] = {
      {"H.264 single units: a new timestamp ends the access unit", false, {{1, 10, false, {0x67, 1}}, {2, 10, false, {0x65, 2}}, {3, 20, true, {0x41, 3}}}, {{0x67, 1}, {0x65, 2}, {}, {0x41, 3}, {}}, {{10, true}, {20, false}}, {}},
      {"H.264 STAP-A", false, {{1, 9, true, {24, 0, 2, 0x67, 0xAA, 0, 1, 0x68, 0, 3, 0x65, 1, 2}}}, {{0x67, 0xAA}, {0x68}, {0x65, 1, 2}, {}}, {{9, true}}, {}},
      {"H.264 STAP-A with a truncated or a zero length", false, {{1, 9, false, {24, 0, 2, 0x67, 0xAA, 0}}, {2, 9, false, {24, 0, 0, 0, 1, 0x68}}}, {}, {}, {0, 0, 0, 2, 0}},
      {"H.264 FU-A start middle end", false, {{1, 9, false, fuA(0x65, true, false, {1, 2})}, {2, 9, false, fuA(0x65, false, false, {3})}, {3, 9, true, fuA(0x65, false, true, {4, 5})}}, {{0x65, 1, 2, 3, 4, 5}, {}}, {{9, true}}, {}},
      {"H.264 lost end, then a new start", false, {{1, 9, false, fuA(0x65, true, false, {1})}, {3, 9, false, fuA(0x41, true, false, {7})}, {4, 9, true, fuA(0x41, false, true, {8})}}, {{0x41, 7, 8}, {}}, {{9, false}}, {1, 1, 0, 0, 0}},
      {"H.264 fragments without their start: one run dropped", false, {{1, 9, false, fuA(0x65, false, false, {1})}, {2, 9, true, fuA(0x65, false, true, {2})}, {3, 12, true, {0x41, 3}}}, {{0x41, 3}, {}}, {{12, false}}, {0, 1, 0, 0, 0}},
      {"H.264 late and repeated packets dropped; a new source starts afresh", false, {{5, 9, true, {0x41, 1}}, {4, 10, true, {0x41, 2}}, {5, 10, true, {0x41, 3}}, {0x8006, 10, true, {0x41, 5}}, {900, 11, true, {0x41, 4}, 7}}, {{0x41, 1}, {}, {0x41, 4}, {}}, {{9, false}, {11, false}}, {0, 0, 3, 0, 0, 1}},
      {"H.264 marker bits on the SPS and PPS: they go with the picture after them", false, {{1, 10, true, {0x67, 1}}, {2, 10, true, {0x68, 2}}, {3, 20, true, {0x65, 3}}}, {{0x67, 1}, {0x68, 2}, {0x65, 3}, {}}, {{20, true}}, {}},
      {"H.264 an SEI after a picture of its timestamp begins the next unit", false, {{1, 10, false, {0x41, 1}}, {2, 10, false, {0x06, 2}}, {3, 20, false, {0x41, 3}}}, {{0x41, 1}, {}, {0x06, 2}, {0x41, 3}}, {{10, false}}, {}},
      {"H.264 FU-A with both bits; one without a byte of its unit", false, {{1, 9, true, fuA(0x65, true, true, {1})}, {2, 12, true, fuA(0x41, true, true, {})}}, {{0x65, 1}, {}}, {{9, true}}, {0, 0, 0, 1, 0}},
      {"H.264 FU-A whose end bit never comes ends at the marker", false, {{1, 9, false, fuA(0x65, true, false, {1})}, {2, 9, true, fuA(0x65, false, false, {2})}}, {{0x65, 1, 2}, {}}, {{9, true}}, {}},
      {"H.264 a jump of 5000 that the next packet follows is a restart, no loss", false, {{1, 9, true, {0x41, 1}}, {5001, 99, true, {0x65, 2}}, {5002, 102, true, {0x41, 3}}}, {{0x41, 1}, {}, {0x65, 2}, {}, {0x41, 3}, {}}, {{9, false}, {99, true}, {102, false}}, {0, 0, 0, 0, 0, 1}},
      {"H.264 a lone packet far off the sequence is dropped", false, {{1, 9, true, {0x41, 1}}, {5001, 99, true, {0x65, 2}}, {2, 12, true, {0x41, 3}}}, {{0x41, 1}, {}, {0x41, 3}, {}}, {{9, false}, {12, false}}, {0, 0, 1, 0, 0}},
      {"H.264 STAP-B, an empty payload", false, {{1, 9, true, {25, 0, 0}}, {2, 9, true, {}}}, {}, {}, {0, 0, 0, 1, 1}},
      {"H.265 single units, one access unit each", true, {{1, 10, false, {kVps, 1, 7}}, {2, 10, true, {kIdr, 1, 8}}, {3, 20, true, {kTrail, 1, 9}}}, {{kVps, 1, 7}, {kIdr, 1, 8}, {}, {kTrail, 1, 9}, {}}, {{10, true}, {20, false}}, {}},
      {"H.265 a marked VPS goes with the picture after it; a prefix SEI after a picture begins the next", true, {{1, 10, true, {kVps, 1, 7}}, {2, 20, false, {kIdr, 1, 8}}, {3, 20, true, {39 << 1, 1, 9}}}, {{kVps, 1, 7}, {kIdr, 1, 8}, {}, {39 << 1, 1, 9}}, {{20, true}}, {}},
      {"H.265 aggregation packet with three units", true, {{1, 10, true, {kAp, 1, 0, 3, kVps, 1, 0xAA, 0, 2, 33 << 1, 1, 0, 4, kIdr, 1, 5, 6}}}, {{kVps, 1, 0xAA}, {33 << 1, 1}, {kIdr, 1, 5, 6}, {}}, {{10, true}}, {}},
      {"H.265 aggregation packet with a truncated length", true, {{1, 10, true, {kAp, 1, 0, 2, kVps, 1, 0}}}, {}, {}, {0, 0, 0, 1, 0}},
      {"H.265 fragments start middle end of a CRA picture", true, {{1, 10, false, fu(21, true, false, {1, 2})}, {2, 10, false, fu(21, false, false, {3})}, {3, 10, true, fu(21, false, true, {4})}}, {{21 << 1 | 1, 1, 1, 2, 3, 4}, {}}, {{10, true}}, {}},
      {"H.265 lost middle fragment", true, {{1, 10, false, fu(19, true, false, {1})}, {3, 10, true, fu(19, false, true, {3})}, {4, 20, true, {kTrail, 1, 7}}}, {{kTrail, 1, 7}, {}}, {{20, false}}, {1, 1, 0, 0, 0}},
      {"H.265 fragment without its FU header, PACI", true, {{1, 10, true, {49 << 1, 1}}, {2, 10, true, {50 << 1, 1, 0}}}, {}, {}, {0, 0, 0, 1, 1}},
  };
  // clang-format on
  for (const Row& row : rows) {
    Units sink;
    std::unique_ptr<RtpDepacketizer> depacketizer(
        row.h265 ? static_cast<RtpDepacketizer*>(new H265Depacketizer(sink))
                 : new H264Depacketizer(sink));
    for (const Packet& p : row.packets) {
      const Bytes rtp = rtpPacket(p.seq, p.timestamp, p.ssrc, p.marker, p.payload);
      depacketizer->push(Bytes(rtp).data(), rtp.size());  // a copy holds exactly the packet
    }
    EXPECT_EQ(sink.out, row.units) << row.name;
    EXPECT_EQ(sink.info, row.info) << row.name;
    const RtpDepacketizer::Counters& n = depacketizer->counters();
    EXPECT_EQ(n.lost, row.counts.lost) << row.name;
    EXPECT_EQ(n.droppedFragments, row.counts.dropped) << row.name;
    EXPECT_EQ(n.late, row.counts.late) << row.name;
    EXPECT_EQ(n.malformed, row.counts.malformed) << row.name;
    EXPECT_EQ(n.unsupported, row.counts.unsupported) << row.name;
    EXPECT_EQ(n.restarts, row.counts.restarts) << row.name;
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
