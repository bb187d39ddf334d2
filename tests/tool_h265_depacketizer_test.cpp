// The rtsp-pull tool's H.265 depacketizer (RFC 7798, no decoding order
// numbers). Packets are copied into exactly sized heap buffers, so that
// AddressSanitizer reports any read past a packet.
#include <gtest/gtest.h>

#include <array>
#include <utility>

#include "h265_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

// NAL unit headers (type << 1, layer 0, temporal id 1).
constexpr uint8_t kVps = 32 << 1, kIdr = 19 << 1, kTrail = 1 << 1, kAp = 48 << 1;

// A fragmentation unit of a unit of type `type`.
Bytes fu(uint8_t type, bool start, bool end, Bytes body) {
  const int fuHeader = (start ? 0x80 : 0) | (end ? 0x40 : 0) | type;
  body.insert(body.begin(), {49 << 1, 1, static_cast<uint8_t>(fuHeader)});
  return body;
}

// The units in order (an empty one for each access-unit end) and the
// timestamp and keyframe flag given for each access unit.
struct Units : NalSink {
  void onNal(const uint8_t* nal, size_t size) override { out.emplace_back(nal, nal + size); }
  void onAccessUnitInfo(uint32_t timestamp, bool keyframe) override {
    info.emplace_back(timestamp, keyframe);
  }
  void onAccessUnitEnd() override { out.emplace_back(); }
  std::vector<Bytes> out;
  std::vector<std::pair<uint32_t, bool>> info;
};

TEST(H265Depacketizer, YieldsTheUnitsAndCountsLossAndDamage) {
  // clang-format off
  struct Packet { uint16_t seq; uint32_t timestamp; bool marker; Bytes payload; };
  struct Case { const char* name; std::vector<Packet> packets; std::vector<Bytes> units;
                std::vector<std::pair<uint32_t, bool>> info;
                std::array<uint64_t, 4> lostDroppedMalformedUnsupported; };
  const Case cases[] = {
      {"single NAL units, one access unit each",
       {{1, 10, false, {kVps, 1, 7}}, {2, 10, true, {kIdr, 1, 8}}, {3, 20, true, {kTrail, 1, 9}}},
       {{kVps, 1, 7}, {kIdr, 1, 8}, {}, {kTrail, 1, 9}, {}}, {{10, true}, {20, false}}, {}},
      {"aggregation packet with three units",
       {{1, 10, true, {kAp, 1, 0, 3, kVps, 1, 0xAA, 0, 2, 33 << 1, 1, 0, 4, kIdr, 1, 5, 6}}},
       {{kVps, 1, 0xAA}, {33 << 1, 1}, {kIdr, 1, 5, 6}, {}}, {{10, true}}, {}},
      {"aggregation packet with a truncated length", {{1, 10, true, {kAp, 1, 0, 2, kVps, 1, 0}}},
       {}, {}, {0, 0, 1, 0}},
      {"fragments start middle end",
       {{1, 10, false, fu(19, true, false, {1, 2})}, {2, 10, false, fu(19, false, false, {3})},
        {3, 10, true, fu(19, false, true, {4})}},
       {{kIdr, 1, 1, 2, 3, 4}, {}}, {{10, true}}, {}},
      {"lost middle fragment",
       {{1, 10, false, fu(19, true, false, {1})}, {3, 10, true, fu(19, false, true, {3})},
        {4, 20, true, {kTrail, 1, 7}}},
       {{kTrail, 1, 7}, {}}, {{20, false}}, {1, 1, 0, 0}},
      {"fragment without its FU header, PACI",
       {{1, 10, true, {49 << 1, 1}}, {2, 10, true, {50 << 1, 1, 0}}}, {}, {}, {0, 0, 1, 1}},
  };
  // clang-format on
  for (const auto& c : cases) {
    Units sink;
    H265Depacketizer depacketizer(sink);
    for (const Packet& p : c.packets) {
      const Bytes rtp = rtpPacket(p.seq, p.timestamp, 0x01020304, p.marker, p.payload);
      depacketizer.push(Bytes(rtp).data(), rtp.size());  // a copy holds exactly the packet
    }
    EXPECT_EQ(sink.out, c.units) << c.name;
    EXPECT_EQ(sink.info, c.info) << c.name;
    const RtpDepacketizer::Counters& n = depacketizer.counters();
    EXPECT_EQ((std::array<uint64_t, 4>{n.lost, n.droppedFragments, n.malformed, n.unsupported}),
              c.lostDroppedMalformedUnsupported)
        << c.name;
  }
}

}  // namespace
