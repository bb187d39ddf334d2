// The rtsp-pull tool's audio: the formats read from media descriptions, and
// the depacketizers of AAC (mpeg4-generic and MP4A-LATM), Opus and G.711; the
// cases in data/tool_audio_*.txt.
// Packets are copied into exactly sized heap buffers, so that
// AddressSanitizer reports any read past a packet.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "audio_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

// The cases of data/tool_audio_formats.txt.
TEST(ToolAudioFormat, ReadsTheCodecItsClocksAndTheDecoderConfig) {
  const auto rows = rtsptest::dataFields("tool_audio_formats.txt");
  ASSERT_GE(rows.size(), 20u);
  const char* const errors[] = {"ok", "codec", "no-config", "bad-config", "mode"};
  const char* const codecs[] = {"aac", "latm", "opus", "pcmu", "pcma"};
  for (const std::vector<std::string>& row : rows) {
    AudioFormat format;
    std::string detail;
    const AudioError error = readAudioFormat(audioMedia(row.at(1)), format, detail);
    EXPECT_EQ(errors[static_cast<int>(error)], row.at(2)) << row[0];
    EXPECT_EQ(detail.empty(), error == AudioError::kNone) << row[0] << ": " << detail;
    if (error != AudioError::kNone || row.size() < 4) continue;
    const std::vector<std::string> read = split(row[3]);
    EXPECT_EQ(codecs[static_cast<int>(format.codec)], read.at(0)) << row[0];
    EXPECT_EQ(std::to_string(format.clockRate), read.at(1)) << row[0];
    EXPECT_EQ(std::to_string(format.sampleRate), read.at(2)) << row[0];
    EXPECT_EQ(std::to_string(format.channels), read.at(3)) << row[0];
    EXPECT_EQ(format.config.empty() ? "-" : hex(format.config), read.at(4)) << row[0];
    if (!format.config.empty()) {
      EXPECT_EQ(std::to_string(format.frameTicks), read.at(5)) << row[0];
    }
  }
}

// "TIMESTAMP+DURATION:BYTES" each, in hex.
struct Frames : AudioSink {
  void onAudioFrame(uint32_t timestamp, uint32_t duration, const uint8_t* data,
                    size_t size) override {
    out += (out.empty() ? "" : " ") + std::to_string(timestamp) + "+" + std::to_string(duration) +
           ":" + hex(std::string(data, data + size));
  }
  std::string out;
};

// The cases of data/tool_audio_packets.txt.
TEST(ToolAudioDepacketizer, YieldsTheFramesAndCountsLossAndDamage) {
  const auto rows = rtsptest::dataFields("tool_audio_packets.txt");
  ASSERT_GE(rows.size(), 15u);
  const char* const counters[] = {"lost", "dropped", "late", "malformed"};
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 5u) << row[0];
    AudioFormat format;
    std::string detail;
    ASSERT_EQ(readAudioFormat(audioMedia(row[1]), format, detail), AudioError::kNone) << row[0];
    Frames sink;
    AudioDepacketizer depacketizer(format, sink);
    for (const std::string& packet : split(row[2])) {
      const Bytes rtp = rtpFromText(packet);
      depacketizer.push(Bytes(rtp).data(), rtp.size());
    }
    EXPECT_EQ(sink.out, row[3]) << row[0];
    const AudioDepacketizer::Counters& n = depacketizer.counters();
    const uint64_t counted[] = {n.lost, n.droppedFragments, n.late, n.malformed};
    const std::vector<std::string> expected = split(row[4]);
    for (size_t i = 0; i < std::size(counters); ++i)
      EXPECT_EQ(std::to_string(counted[i]), expected.at(i)) << row[0] << ": " << counters[i];
  }
}

}  // namespace
