// The rtsp-pull tool's audio: the formats read from media descriptions, and
// the depacketizers of AAC (mpeg4-generic and MP4A-LATM), Opus and G.711; the
// cases in data/tool_audio_*.txt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;

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
    if (error != AudioError::kNone) continue;
    std::string read = codecs[static_cast<int>(format.codec)];
    addWord(read, counts({format.clockRate, format.sampleRate, format.channels}));
    addWord(read, format.config.empty() ? "-" : hex(format.config));
    addWord(read, std::to_string(format.frameTicks));
    EXPECT_EQ(read, row.at(3)) << row[0];
  }
}

// "TIMESTAMP+DURATION:BYTES" each, in hex.
struct Frames : AudioSink {
  void onAudioFrame(uint32_t timestamp, uint32_t duration, const uint8_t* data,
                    size_t size) override {
    addWord(out, std::to_string(timestamp) + "+" + std::to_string(duration) + ":" +
                     hex(std::string(data, data + size)));
  }
  std::string out;
};

// The cases of data/tool_audio_packets.txt.
TEST(ToolAudioDepacketizer, YieldsTheFramesAndCountsLossAndDamage) {
  const auto rows = rtsptest::dataFields("tool_audio_packets.txt");
  ASSERT_GE(rows.size(), 15u);
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 5u) << row[0];
    AudioFormat format;
    std::string detail;
    ASSERT_EQ(readAudioFormat(audioMedia(row[1]), format, detail), AudioError::kNone) << row[0];
    Frames sink;
    AudioDepacketizer depacketizer(format, sink);
    pushPackets(depacketizer, row[2]);
    EXPECT_EQ(sink.out, row[3]) << row[0];
    const AudioDepacketizer::Counters& n = depacketizer.counters();
    EXPECT_EQ(counts({n.lost, n.droppedFragments, n.late, n.malformed}), row[4])
        << row[0] << ": lost, dropped, late, malformed";
  }
}

}  // namespace
