// RTP parsing and H.264 depacketization of the rtsp-pull tool. Packets are
// copied into exactly sized heap buffers, so that AddressSanitizer reports
// any read past a packet.
#include "h264_depacketizer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using rtsp_pull::H264Depacketizer;
using Bytes = std::vector<uint8_t>;

Bytes rtp(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload) {
  Bytes p = {
      0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | 96), 0, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33,
      0x44};
  for (int i = 0; i < 2; ++i) p[2 + i] = static_cast<uint8_t>(seq >> (8 - 8 * i));
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

Bytes fu(uint8_t nalHeader, bool start, bool end, const Bytes& body) {
  Bytes p = {static_cast<uint8_t>((nalHeader & 0xE0) | 28),
             static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | (nalHeader & 0x1F))};
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

std::unique_ptr<uint8_t[]> exactCopy(const Bytes& bytes) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return copy;
}

// Records NAL units, and the events: "N" a unit, "|" an access-unit end.
struct Recorder : rtsp_pull::NalSink {
  std::vector<Bytes> nals;
  std::string events;
  void onNal(const uint8_t* nal, size_t size) override {
    nals.emplace_back(nal, nal + size);
    events += "N";
  }
  void onAccessUnitEnd() override { events += "|"; }
};

struct Packet {
  uint16_t seq;
  uint32_t ts;
  bool marker;
  Bytes payload;
};

// Each case pushes its packets and expects these units and events, and these
// counters: lost, late, dropped fragment runs, malformed, unsupported.
struct Case {
  const char* name;
  std::string events;
  std::array<uint64_t, 5> counters;
  std::vector<Packet> packets;
  std::vector<Bytes> nals;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// clang-format off
const Case kCases[] = {
    {"SingleNalUnitPacketsPassUnchanged", "NN|", {},
     {{1, 100, false, {0x67, 1, 2, 3}}, {2, 100, true, {0x65, 9, 8}}},
     {{0x67, 1, 2, 3}, {0x65, 9, 8}}},
    {"StapAYieldsEachUnitInOrder", "NNN|", {},
     {{1, 100, true, {24, 0, 2, 0x67, 0xAA, 0, 1, 0x68, 0, 3, 0x65, 1, 2}}},
     {{0x67, 0xAA}, {0x68}, {0x65, 1, 2}}},
    // Dropped whole: a second length past the end, half a length field, a
    // zero-length second unit, no unit at all, a length far past the end.
    {"DamagedStapAIsDroppedWhole", "", {0, 0, 0, 5, 0},
     {{1, 100, false, {24, 0, 2, 0x67, 0xAA, 0, 9, 0x68}},
      {2, 100, false, {24, 0, 2, 0x67, 0xAA, 0}}, {3, 100, false, {24, 0, 1, 0x67, 0, 0}},
      {4, 100, false, {24}}, {5, 100, false, {24, 0xFF, 0xFF}}},
     {}},
    {"FuAStartMiddleEndRebuildTheUnit", "N|", {},
     {{1, 100, false, fu(0x65, true, false, {1, 2})}, {2, 100, false, fu(0x65, false, false, {3})},
      {3, 100, true, fu(0x65, false, true, {4, 5})}},
     {{0x65, 1, 2, 3, 4, 5}}},
    // The next unit after the drop is whole again.
    {"LostMiddleFragmentDropsTheWholeUnit", "N|", {1, 0, 1, 0, 0},
     {{1, 100, false, fu(0x65, true, false, {1})}, {3, 100, true, fu(0x65, false, true, {3})},
      {4, 200, true, {0x41, 7}}},
     {{0x41, 7}}},
    {"LostEndFragmentThenNewStart", "N|", {1, 0, 1, 0, 0},
     {{1, 100, false, fu(0x65, true, false, {1})}, {2, 100, false, fu(0x65, false, false, {2})},
      {4, 200, false, fu(0x41, true, false, {7})}, {5, 200, true, fu(0x41, false, true, {8})}},
     {{0x41, 7, 8}}},
    {"NewStartWithoutGapReplacesAnUnfinishedUnit", "N", {0, 0, 1, 0, 0},
     {{1, 100, false, fu(0x65, true, false, {1})}, {2, 100, false, fu(0x65, true, true, {2})}},
     {{0x65, 2}}},
    {"LateAndRepeatedPacketsAreDropped", "NN", {0, 2, 0, 0, 0},
     {{10, 100, false, {0x41, 1}}, {10, 100, false, {0x41, 2}}, {9, 100, false, {0x41, 3}},
      {11, 100, false, {0x41, 4}}},
     {{0x41, 1}, {0x41, 4}}},
    {"SequenceWrapIsNotALoss", "NN", {},
     {{65535, 100, false, {0x41, 1}}, {0, 100, false, {0x41, 2}}}, {{0x41, 1}, {0x41, 2}}},
    {"NewTimestampEndsAnAccessUnitWithoutMarker", "N|NN|", {},
     {{1, 100, false, {0x41, 1}}, {2, 200, false, {0x41, 2}}, {3, 200, true, {0x41, 3}}},
     {{0x41, 1}, {0x41, 2}, {0x41, 3}}},
    // STAP-B and FU-B are counted and ignored; an empty payload is malformed.
    {"OtherPacketizationModesAreIgnored", "", {0, 0, 0, 1, 2},
     {{1, 100, false, {25, 0, 0, 0}}, {2, 100, false, {29, 0x85, 1}}, {3, 100, false, {}}}, {}},
};
// clang-format on

class Depacketizer : public ::testing::TestWithParam<Case> {};

TEST_P(Depacketizer, YieldsTheUnitsAndCountsTheRest) {
  Recorder sink;
  H264Depacketizer depacketizer(sink);
  for (const Packet& p : GetParam().packets) {
    const Bytes packet = rtp(p.seq, p.ts, p.marker, p.payload);
    depacketizer.push(exactCopy(packet).get(), packet.size());
  }
  EXPECT_EQ(sink.nals, GetParam().nals);
  EXPECT_EQ(sink.events, GetParam().events);
  const H264Depacketizer::Counters& c = depacketizer.counters();
  EXPECT_EQ(
      (std::array<uint64_t, 5>{c.lost, c.late, c.droppedFragments, c.malformed, c.unsupported}),
      GetParam().counters);
}

INSTANTIATE_TEST_SUITE_P(Packets, Depacketizer, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) {
                           return std::string(p.param.name);
                         });

TEST(DepacketizerBytes, ArbitraryBytesNeverReadPastThePacket) {
  Recorder sink;
  H264Depacketizer depacketizer(sink);
  std::mt19937 random(1234);
  for (int i = 0; i < 20000; ++i) {
    Bytes packet(random() % 40);
    for (uint8_t& b : packet) b = static_cast<uint8_t>(random());
    if (packet.size() > 12 && i % 2 == 0) {
      packet[0] = static_cast<uint8_t>(0x80 | (packet[0] & 0x3F));  // mostly valid RTP
      packet[12] = static_cast<uint8_t>((packet[12] & 0xE0) | (i % 4 == 0 ? 24 : 28));
    }
    depacketizer.push(exactCopy(packet).get(), packet.size());
  }
}

TEST(RtpParse, HeaderFieldsCsrcExtensionAndPadding) {
  const Bytes base = rtp(0x1234, 0xA0B0C0D0, true, {});
  auto with = [&base](uint8_t first, const Bytes& rest) {
    Bytes p = base;
    p[0] = first;
    p.insert(p.end(), rest.begin(), rest.end());
    return p;
  };
  const struct {
    const char* name;
    Bytes packet;
    bool ok;
    size_t payloadOffset, payloadSize;
  } cases[] = {
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<uint8_t[]> exact = exactCopy(c.packet);
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
