// RTP parsing and H.264 depacketization of the rtsp-pull tool. Packets are
// built in exactly sized heap buffers, so that AddressSanitizer reports any
// read past a packet.
#include "h264_depacketizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using rtsp_pull::H264Depacketizer;
using rtsp_pull::NalSink;
using Bytes = std::vector<uint8_t>;

Bytes rtp(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload) {
  Bytes p = {0x80,
             static_cast<uint8_t>((marker ? 0x80 : 0) | 96),
             static_cast<uint8_t>(seq >> 8),
             static_cast<uint8_t>(seq),
             static_cast<uint8_t>(ts >> 24),
             static_cast<uint8_t>(ts >> 16),
             static_cast<uint8_t>(ts >> 8),
             static_cast<uint8_t>(ts),
             0x11,
             0x22,
             0x33,
             0x44};
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

Bytes fu(uint8_t nalHeader, bool start, bool end, const Bytes& body) {
  Bytes p = {static_cast<uint8_t>((nalHeader & 0xE0) | 28),
             static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | (nalHeader & 0x1F))};
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

// Records NAL units, and "|" for each access-unit end, in order.
struct Recorder : NalSink {
  std::vector<Bytes> nals;
  std::string events;
  void onNal(const uint8_t* nal, size_t size) override {
    nals.emplace_back(nal, nal + size);
    events += "N";
  }
  void onAccessUnitEnd() override { events += "|"; }
};

struct Depacketizer : ::testing::Test {
  Recorder sink;
  H264Depacketizer depacketizer{sink};
  void push(const Bytes& packet) {
    // A copy of exactly the packet's size on the heap.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[packet.size() + (packet.empty() ? 1 : 0)]);
    std::copy(packet.begin(), packet.end(), exact.get());
    depacketizer.push(exact.get(), packet.size());
  }
};

TEST_F(Depacketizer, SingleNalUnitPacketsPassUnchanged) {
  push(rtp(1, 100, false, {0x67, 1, 2, 3}));
  push(rtp(2, 100, true, {0x65, 9, 8}));
  ASSERT_EQ(sink.nals.size(), 2u);
  EXPECT_EQ(sink.nals[0], (Bytes{0x67, 1, 2, 3}));
  EXPECT_EQ(sink.nals[1], (Bytes{0x65, 9, 8}));
  EXPECT_EQ(sink.events, "NN|");
}

TEST_F(Depacketizer, StapAYieldsEachUnitInOrder) {
  push(rtp(1, 100, true, {24, 0, 2, 0x67, 0xAA, 0, 1, 0x68, 0, 3, 0x65, 1, 2}));
  ASSERT_EQ(sink.nals.size(), 3u);
  EXPECT_EQ(sink.nals[0], (Bytes{0x67, 0xAA}));
  EXPECT_EQ(sink.nals[1], (Bytes{0x68}));
  EXPECT_EQ(sink.nals[2], (Bytes{0x65, 1, 2}));
  EXPECT_EQ(sink.events, "NNN|");
}

TEST_F(Depacketizer, DamagedStapAIsDroppedWholeWithoutReadingPastThePacket) {
  const std::vector<Bytes> damaged = {
      {24, 0, 2, 0x67, 0xAA, 0, 9, 0x68},  // second length runs past the end
      {24, 0, 2, 0x67, 0xAA, 0},           // half a length field at the end
      {24, 0, 0, 0x67},                    // zero length
      {24},                                // no unit at all
      {24, 0xFF, 0xFF},                    // length far past the end
  };
  uint16_t seq = 1;
  for (const Bytes& payload : damaged) push(rtp(seq++, 100, false, payload));
  EXPECT_TRUE(sink.nals.empty());
  EXPECT_EQ(depacketizer.counters().malformed, damaged.size());
}

TEST_F(Depacketizer, FuAStartMiddleEndRebuildTheUnit) {
  push(rtp(1, 100, false, fu(0x65, true, false, {1, 2})));
  push(rtp(2, 100, false, fu(0x65, false, false, {3})));
  EXPECT_TRUE(sink.nals.empty());
  push(rtp(3, 100, true, fu(0x65, false, true, {4, 5})));
  ASSERT_EQ(sink.nals.size(), 1u);
  EXPECT_EQ(sink.nals[0], (Bytes{0x65, 1, 2, 3, 4, 5}));
  EXPECT_EQ(sink.events, "N|");
}

TEST_F(Depacketizer, LostMiddleFragmentDropsTheWholeUnit) {
  push(rtp(1, 100, false, fu(0x65, true, false, {1})));
  push(rtp(3, 100, true, fu(0x65, false, true, {3})));  // 2 is lost
  EXPECT_TRUE(sink.nals.empty());
  push(rtp(4, 200, true, {0x41, 7}));  // the next unit is whole again
  ASSERT_EQ(sink.nals.size(), 1u);
  EXPECT_EQ(sink.nals[0], (Bytes{0x41, 7}));
  EXPECT_EQ(depacketizer.counters().lost, 1u);
  EXPECT_EQ(depacketizer.counters().droppedFragments, 1u);
}

TEST_F(Depacketizer, LostEndFragmentThenNewStart) {
  push(rtp(1, 100, false, fu(0x65, true, false, {1})));
  push(rtp(2, 100, false, fu(0x65, false, false, {2})));
  // 3, the end of the first unit, is lost; 4 starts the next picture.
  push(rtp(4, 200, false, fu(0x41, true, false, {7})));
  push(rtp(5, 200, true, fu(0x41, false, true, {8})));
  ASSERT_EQ(sink.nals.size(), 1u);
  EXPECT_EQ(sink.nals[0], (Bytes{0x41, 7, 8}));
  EXPECT_EQ(depacketizer.counters().droppedFragments, 1u);
}

TEST_F(Depacketizer, NewStartWithoutGapReplacesAnUnfinishedUnit) {
  push(rtp(1, 100, false, fu(0x65, true, false, {1})));
  push(rtp(2, 100, false, fu(0x65, true, true, {2})));
  ASSERT_EQ(sink.nals.size(), 1u);
  EXPECT_EQ(sink.nals[0], (Bytes{0x65, 2}));
  EXPECT_EQ(depacketizer.counters().droppedFragments, 1u);
}

TEST_F(Depacketizer, LateAndRepeatedPacketsAreDropped) {
  push(rtp(10, 100, false, {0x41, 1}));
  push(rtp(10, 100, false, {0x41, 2}));
  push(rtp(9, 100, false, {0x41, 3}));
  push(rtp(11, 100, false, {0x41, 4}));
  ASSERT_EQ(sink.nals.size(), 2u);
  EXPECT_EQ(sink.nals[1], (Bytes{0x41, 4}));
  EXPECT_EQ(depacketizer.counters().late, 2u);
  EXPECT_EQ(depacketizer.counters().lost, 0u);
}

TEST_F(Depacketizer, SequenceWrapIsNotALoss) {
  push(rtp(65535, 100, false, {0x41, 1}));
  push(rtp(0, 100, false, {0x41, 2}));
  EXPECT_EQ(sink.nals.size(), 2u);
  EXPECT_EQ(depacketizer.counters().lost, 0u);
}

TEST_F(Depacketizer, NewTimestampEndsAnAccessUnitWithoutMarker) {
  push(rtp(1, 100, false, {0x41, 1}));
  push(rtp(2, 200, false, {0x41, 2}));
  push(rtp(3, 200, true, {0x41, 3}));
  EXPECT_EQ(sink.events, "N|NN|");
}

TEST_F(Depacketizer, OtherPacketizationModesAreCountedAndIgnored) {
  push(rtp(1, 100, false, {25, 0, 0, 0}));  // STAP-B
  push(rtp(2, 100, false, {29, 0x85, 1}));  // FU-B
  push(rtp(3, 100, false, {}));             // empty payload
  EXPECT_TRUE(sink.nals.empty());
  EXPECT_EQ(depacketizer.counters().unsupported, 2u);
  EXPECT_EQ(depacketizer.counters().malformed, 1u);
}

TEST_F(Depacketizer, ArbitraryBytesNeverReadPastThePacket) {
  std::mt19937 random(1234);
  for (int i = 0; i < 20000; ++i) {
    Bytes packet(random() % 40);
    for (uint8_t& b : packet) b = static_cast<uint8_t>(random());
    if (packet.size() > 12 && i % 2 == 0) {
      packet[0] = static_cast<uint8_t>(0x80 | (packet[0] & 0x3F));  // mostly valid RTP
      packet[12] = static_cast<uint8_t>((packet[12] & 0xE0) | (i % 4 == 0 ? 24 : 28));
    }
    push(packet);
  }
  SUCCEED();
}

struct RtpCase {
  const char* name;
  Bytes packet;
  bool ok;
  size_t payloadOffset;
  size_t payloadSize;
};

TEST(RtpParse, HeaderFieldsCsrcExtensionAndPadding) {
  const Bytes base = rtp(0x1234, 0xA0B0C0D0, true, {});
  auto with = [&base](uint8_t first, const Bytes& rest) {
    Bytes p = base;
    p[0] = first;
    p.insert(p.end(), rest.begin(), rest.end());
    return p;
  };
  const std::vector<RtpCase> cases = {
      {"plain", with(0x80, {1, 2, 3}), true, 12, 3},
      {"two csrc", with(0x82, {0, 0, 0, 1, 0, 0, 0, 2, 9}), true, 20, 1},
      {"extension", with(0x90, {0xBE, 0xDE, 0, 1, 1, 2, 3, 4, 9, 9}), true, 20, 2},
      {"padding", with(0xA0, {7, 7, 0, 0, 3}), true, 12, 2},
      {"short header", Bytes(base.begin(), base.begin() + 11), false, 0, 0},
      {"version 1", with(0x40, {1}), false, 0, 0},
      {"csrc past end", with(0x83, {0, 0, 0, 1}), false, 0, 0},
      {"extension past end", with(0x90, {0xBE, 0xDE, 0, 2, 1, 2, 3, 4}), false, 0, 0},
      {"padding past payload", with(0xA0, {1, 9}), false, 0, 0},
      {"zero padding", with(0xA0, {1, 0}), false, 0, 0},
  };
  for (const RtpCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[c.packet.size()]);
    std::copy(c.packet.begin(), c.packet.end(), exact.get());
    rtsp_pull::RtpPacket packet;
    ASSERT_EQ(rtsp_pull::parseRtp(exact.get(), c.packet.size(), packet), c.ok);
    if (!c.ok) continue;
    EXPECT_TRUE(packet.marker);
    EXPECT_EQ(packet.payloadType, 96);
    EXPECT_EQ(packet.sequence, 0x1234);
    EXPECT_EQ(packet.timestamp, 0xA0B0C0D0u);
    EXPECT_EQ(packet.payload, exact.get() + c.payloadOffset);
    EXPECT_EQ(packet.payloadSize, c.payloadSize);
  }
}

TEST(RtpParse, RtcpIsToldApartFromRtp) {
  const uint8_t senderReport[] = {0x80, 200, 0, 6};
  const uint8_t receiverReport[] = {0x81, 201, 0, 7};
  const uint8_t rtpWithMarker[] = {0x80, 0x80 | 96, 0, 1};
  const uint8_t rtpNoMarker[] = {0x80, 96, 0, 1};
  EXPECT_TRUE(rtsp_pull::isRtcp(senderReport, sizeof senderReport));
  EXPECT_TRUE(rtsp_pull::isRtcp(receiverReport, sizeof receiverReport));
  EXPECT_FALSE(rtsp_pull::isRtcp(rtpWithMarker, sizeof rtpWithMarker));
  EXPECT_FALSE(rtsp_pull::isRtcp(rtpNoMarker, sizeof rtpNoMarker));
  EXPECT_FALSE(rtsp_pull::isRtcp(senderReport, 1));
}

}  // namespace
