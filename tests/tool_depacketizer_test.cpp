// The rtsp-pull tool's H.264 depacketizer. Packets are copied into exactly
// sized heap buffers, so that AddressSanitizer reports any read past a packet.
#include <gtest/gtest.h>

#include <array>

#include "h264_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

// An FU-A fragment of a unit with header `nal`.
Bytes fu(uint8_t nal, bool start, bool end, Bytes body) {
  const int header = (start ? 0x80 : 0) | (end ? 0x40 : 0) | (nal & 0x1F);
  body.insert(body.begin(), {static_cast<uint8_t>((nal & 0xE0) | 28), uint8_t(header)});
  return body;
}

// The units in order, an empty one for each access-unit end.
struct Units : NalSink {
  void onNal(const uint8_t* nal, size_t size) override { out.emplace_back(nal, nal + size); }
  void onAccessUnitEnd() override { out.emplace_back(); }
  std::vector<Bytes> out;
};

TEST(Depacketizer, YieldsTheUnitsAndCountsLossAndDamage) {
  // clang-format off
  struct Packet { uint16_t seq; bool marker; Bytes payload; };
  struct Case { const char* name; std::vector<Packet> packets; std::vector<Bytes> units;
                std::array<uint64_t, 3> lostDroppedMalformed; };
  const Case cases[] = {
      {"STAP-A", {{1, true, {24, 0, 2, 0x67, 0xAA, 0, 1, 0x68, 0, 3, 0x65, 1, 2}}},
       {{0x67, 0xAA}, {0x68}, {0x65, 1, 2}, {}}, {}},
      {"STAP-A truncated length", {{1, false, {24, 0, 2, 0x67, 0xAA, 0}}}, {}, {0, 0, 1}},
      {"FU-A start middle end", {{1, false, fu(0x65, true, false, {1, 2})},
        {2, false, fu(0x65, false, false, {3})}, {3, true, fu(0x65, false, true, {4, 5})}},
       {{0x65, 1, 2, 3, 4, 5}, {}}, {}},
      {"lost end then new start", {{1, false, fu(0x65, true, false, {1})},
        {3, false, fu(0x41, true, false, {7})}, {4, true, fu(0x41, false, true, {8})}},
       {{0x41, 7, 8}, {}}, {1, 1, 0}},
  };
  // clang-format on
  for (const auto& c : cases) {
    Units sink;
    H264Depacketizer depacketizer(sink);
    for (const Packet& p : c.packets) {
      const Bytes rtp = rtpPacket(p.seq, 9, 0x01020304, p.marker, p.payload);
      depacketizer.push(Bytes(rtp).data(), rtp.size());  // a copy holds exactly the packet
    }
    EXPECT_EQ(sink.out, c.units) << c.name;
    const H264Depacketizer::Counters& n = depacketizer.counters();
    EXPECT_EQ((std::array<uint64_t, 3>{n.lost, n.droppedFragments, n.malformed}),
              c.lostDroppedMalformed)
        << c.name;
  }
}

}  // namespace
