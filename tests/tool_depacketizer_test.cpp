// The rtsp-pull tool's depacketizers (H.264 and H.265 on their shared RTP
// base) and the RTP header they read, the cases in data/tool_depacketizer.txt.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "h264_depacketizer.h"
#include "h265_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;

// The units in hex and "/" at each access unit's end; each access unit's
// timestamp, with "k" for a keyframe.
struct Units : NalSink {
  void onNal(const uint8_t* nal, size_t size) override {
    addWord(units, hex(std::string(reinterpret_cast<const char*>(nal), size)));
  }
  void onAccessUnitInfo(uint32_t time, bool key) override {
    addWord(info, std::to_string(time) + (key ? "k" : ""));
  }
  void onAccessUnitEnd() override { addWord(units, "/"); }
  std::string units, info;
};

// The cases of data/tool_depacketizer.txt.
TEST(ToolDepacketizer, YieldsTheUnitsAndCountsLossAndDamage) {
  const auto rows = rtsptest::dataFields("tool_depacketizer.txt");
  ASSERT_GE(rows.size(), 20u);
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 6u) << row[0];
    Units sink;
    std::unique_ptr<RtpDepacketizer> depacketizer(
        row[1] == "h265" ? static_cast<RtpDepacketizer*>(new H265Depacketizer(sink))
                         : new H264Depacketizer(sink));
    pushPackets(*depacketizer, row[2]);
    EXPECT_EQ(sink.units, row[3]) << row[0];
    EXPECT_EQ(sink.info, row[4]) << row[0];
    const RtpDepacketizer::Counters& n = depacketizer->counters();
    EXPECT_EQ(counts({n.lost, n.droppedFragments, n.late, n.malformed, n.unsupported, n.restarts}),
              row[5])
        << row[0] << ": lost, dropped, late, malformed, unsupported, restarts";
  }
}

}  // namespace
