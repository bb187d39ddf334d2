// The rtsp-pull tool's Annex B writer: which access units count as frames
// and which NAL units reach the output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "annexb_writer.h"

namespace {

using rtsp_pull::AnnexBWriter;

// One NAL unit of the given type (nal_ref_idc 3) with one payload byte.
std::string nal(int type) { return std::string{static_cast<char>(0x60 | type), '\x01'}; }

// The NAL unit types found after the start codes of `stream`, e.g. "7 8 5".
std::string nalTypes(const std::string& stream) {
  std::string out;
  const std::string startCode("\0\0\0\1", 4);
  for (size_t at = stream.find(startCode); at != std::string::npos && at + 4 < stream.size();
       at = stream.find(startCode, at + 4)) {
    out += (out.empty() ? "" : " ") + std::to_string(stream[at + 4] & 0x1F);
  }
  return out;
}

TEST(ToolAnnexBWriter, CountsEveryAccessUnitWithAPictureAsAFrame) {
  // clang-format off
  struct Case { const char* name; std::vector<std::vector<int>> nalTypesOfEachUnit;
                bool waitForKeyframe; uint64_t frames; std::string writtenTypes; };
  const Case cases[] = {
      {"parameter sets, IDR, then non-IDR slices", {{7, 8, 5}, {1}, {1, 1}}, true, 3,
       "7 8 5 1 1 1"},
      {"access units without a picture are not frames", {{7, 8}, {6}, {5}, {9}}, false, 1,
       "7 8 6 5 9"},
      {"slices before the first IDR picture are left out and not counted",
       {{1}, {7, 8, 6}, {5}, {1}}, true, 2, "7 8 5 1"},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string out;
    AnnexBWriter writer(
        [&out](const char* data, size_t size) {
          out.append(data, size);
          return true;
        },
        c.waitForKeyframe, 0);
    for (const std::vector<int>& unit : c.nalTypesOfEachUnit) {
      for (int type : unit) {
        const std::string bytes = nal(type);
        writer.onNal(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      }
      writer.onAccessUnitEnd();
    }
    EXPECT_EQ(writer.frames(), c.frames) << c.name;
    EXPECT_EQ(nalTypes(out), c.writtenTypes) << c.name;
  }
}

}  // namespace
