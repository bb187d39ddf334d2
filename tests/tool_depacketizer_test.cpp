// The rtsp-pull tool's H.264 depacketizer and URL parsing. Packets are copied
// into exactly sized heap buffers, so that AddressSanitizer reports any read
// past a packet.
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "h264_depacketizer.h"
#include "url.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

Bytes fu(uint8_t nal, bool start, bool end, Bytes body) {
  body.insert(body.begin(),
              {static_cast<uint8_t>((nal & 0xE0) | 28),
               static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | (nal & 0x1F))});
  return body;
}

// Records the units, and the events: "N" a unit, "|" an access-unit end.
struct Recorder : NalSink {
  void onNal(const uint8_t* nal, size_t size) override {
    nals.emplace_back(nal, nal + size);
    events += "N";
  }
  void onAccessUnitEnd() override { events += "|"; }
  std::vector<Bytes> nals;
  std::string events;
};

TEST(Depacketizer, YieldsTheUnitsAndCountsLossAndDamage) {
  // clang-format off
  struct Packet { uint8_t seq; bool marker; Bytes payload; };
  struct Case { const char* name; std::vector<Packet> packets; std::vector<Bytes> nals;
                std::string events; std::array<uint64_t, 3> lostDroppedMalformed; };
  const Case cases[] = {
      {"single NAL", {{1, false, {0x67, 1}}, {2, true, {0x65, 9, 8}}}, {{0x67, 1}, {0x65, 9, 8}},
       "NN|", {}},
      {"STAP-A", {{1, true, {24, 0, 2, 0x67, 0xAA, 0, 1, 0x68, 0, 3, 0x65, 1, 2}}},
       {{0x67, 0xAA}, {0x68}, {0x65, 1, 2}}, "NNN|", {}},
      {"STAP-A truncated length", {{1, false, {24, 0, 2, 0x67, 0xAA, 0}}}, {}, "", {0, 0, 1}},
      {"FU-A start middle end", {{1, false, fu(0x65, true, false, {1, 2})},
        {2, false, fu(0x65, false, false, {3})}, {3, true, fu(0x65, false, true, {4, 5})}},
       {{0x65, 1, 2, 3, 4, 5}}, "N|", {}},
      {"lost middle fragment", {{1, false, fu(0x65, true, false, {1})},
        {3, true, fu(0x65, false, true, {3})}, {4, true, {0x41, 7}}}, {{0x41, 7}}, "N|", {1, 1, 0}},
      {"lost end then new start", {{1, false, fu(0x65, true, false, {1})},
        {2, false, fu(0x65, false, false, {2})}, {4, false, fu(0x41, true, false, {7})},
        {5, true, fu(0x41, false, true, {8})}}, {{0x41, 7, 8}}, "N|", {1, 1, 0}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder sink;
    H264Depacketizer depacketizer(sink);
    for (const Packet& p : c.packets) {
      Bytes rtp = {
          0x80, static_cast<uint8_t>((p.marker ? 0x80 : 0) | 96), 0, p.seq, 0, 0, 0, 9, 1, 2, 3, 4};
      rtp.insert(rtp.end(), p.payload.begin(), p.payload.end());
      std::unique_ptr<uint8_t[]> exact(new uint8_t[rtp.size()]);
      std::copy(rtp.begin(), rtp.end(), exact.get());
      depacketizer.push(exact.get(), rtp.size());
    }
    EXPECT_EQ(sink.nals, c.nals);
    EXPECT_EQ(sink.events, c.events);
    const H264Depacketizer::Counters& n = depacketizer.counters();
    EXPECT_EQ((std::array<uint64_t, 3>{n.lost, n.droppedFragments, n.malformed}),
              c.lostDroppedMalformed);
  }
}

TEST(RtspUrlParse, AcceptsAndRefuses) {
  // clang-format off
  // `expect`: host:port/path when accepted, a word of the error when refused.
  struct Case { const char* text; bool ok; const char* expect; };
  const Case cases[] = {
      {"rtsp://camera.local:8554/live", true, "camera.local:8554/live"},
      {"RTSP://10.0.0.7/live/main", true, "10.0.0.7:554/live/main"},
      {"rtsp://cam_1/ch?sub=1#frag", true, "cam_1:554/ch?sub=1"},
      {"http://host/live", false, "rtsp://"},
      {"rtsp://host:65536/live", false, "port"},
      {"rtsp://user:pw@host/live", false, "credentials"},
      {"rtsp:///live", false, "no host"},
      {"rtsp://host/live\r\nX: y", false, "control"},
  };
  // clang-format on
  for (const auto& c : cases) {
    RtspUrl url;
    std::string error;
    const bool ok = parseRtspUrl(c.text, url, error);
    const std::string got = ok ? url.host + ":" + std::to_string(url.port) + "/" + url.path : error;
    EXPECT_TRUE(ok == c.ok && (ok ? got == c.expect : got.find(c.expect) != std::string::npos))
        << c.text << ": " << got;
  }
}

}  // namespace
