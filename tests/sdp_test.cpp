#include <rtsppull/sdp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9);
const std::string kPps("\x68\xCE\x3C\x80", 4);
const std::string kFmtp =
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n";

TEST(SdpRecord, CopyAndAssignmentCopyEveryMember) {
  SDP source;
  EXPECT_EQ(source.file_header_len, 0u);
  for (char byte : source.file_header) ASSERT_EQ(byte, 0);
  source.lines = {"v=0\r\n", "\r\n", kFmtp};
  for (unsigned int i = 0; i < SDP::kFileHeaderCapacity; ++i) {
    source.file_header[i] = static_cast<char>(i * 7 + 1);
  }
  source.file_header_len = 3;  // bytes beyond it are copied all the same
  source.text = std::string("v=0\r\n") + std::string(8187, '\0');

  SDP constructed(source);
  SDP assigned;
  assigned.lines = {"stale\r\n"};
  assigned = source;
  SDP& self = assigned;
  assigned = self;
  for (const SDP* copy : {&constructed, &assigned}) {
    EXPECT_EQ(copy->lines, source.lines);
    EXPECT_EQ(copy->file_header_len, 3u);
    EXPECT_EQ(std::memcmp(copy->file_header, source.file_header, SDP::kFileHeaderCapacity), 0);
    EXPECT_EQ(copy->text, source.text);
  }
}

TEST(SdpFetchSpsPps, MinusOneLeavesTheResultsAlone) {
  const struct {
    std::vector<std::string> lines;
    std::string spsAfter;
  } cases[] = {
      {{}, "keep"},
      {{"v=0\r\n", "a=fmtp:96 packetization-mode=1\r\n"}, "keep"},
      {{"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k\r\n"}, "keep"},  // no comma
      {{"a=x,y;sprop-parameter-sets=Z0IA\r\n"}, "keep"},              // comma before tag
      {{"a=fmtp:96 sprop-parameter-sets"}, "keep"},                   // tag ends the line
      {{"sprop-parameter-sets,"}, "keep"},                            // the skipped character
      // Only the first tagged line counts, usable or not.
      {{"sprop-parameter-sets=Z0IA\r\n", kFmtp}, "keep"},
      // Nothing after the comma and no CR LF: sps already holds the text.
      {{"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,"}, "Z0IAHpWoKA9k"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.empty() ? "fresh record" : c.lines.front());
    SDP sdp;
    sdp.lines.assign(c.lines.begin(), c.lines.end());
    std::string sps = "keep", pps = "keep";
    EXPECT_EQ(sdp.fetch_sps_pps(sps, pps), -1);
    EXPECT_EQ(sps, c.spsAfter);
    EXPECT_EQ(pps, "keep");
  }
}

TEST(SdpFetchSpsPps, SplitsTheFirstTaggedLineAndDecodesBothHalves) {
  const struct {
    std::string line, sps, pps;
  } cases[] = {
      {kFmtp, kSps, kPps},  // the CR LF after aM48gA== is an incomplete group
      {"sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==", kSps, kPps},
      {"a=fmtp:96 sprop-parameter-sets=,aM48gA==\r\n", "", kPps},
      {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,\r\n", kSps, ""},
      // Everything after the first comma, CR LF and further parameters
      // included, is the second text.
      {"sprop-parameter-sets=QUJD,REVG,R0hJ\r\n", "ABC", "DEF\x01\x1D\x21"},
      {"sprop-parameter-sets=QUJD,REVG;profile-level-id=42001e\r\n", "ABC",
       "DEF\x02\x9A\xE8\x7E\x29\x5E\x02\x57\xAF\x7A\x50\x22\x74\x0E\x36\xD3\x4D\x5E"},
      // A substring match; the character after the tag is skipped unseen.
      {"a=fmtp:96 x-sprop-parameter-sets-v2:QUJD,REVG\r\n", "\xBF\x60\x10", "DEF"},
      // The closing CR LF completes an unpadded group of the second set only.
      {"sprop-parameter-sets=QUJDRA,QUJDRA\r\n", "ABC", "ABCD"},
      {"sprop-parameter-sets=QQBB,AEEA\r\n", std::string("A\0A", 3), std::string("\0A", 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    SDP sdp;
    sdp.lines = {"v=0\r\n", c.line, "a=fmtp:97 sprop-parameter-sets=QUJD,REVG\r\n"};
    std::string sps = "previous contents", pps = "previous contents";
    ASSERT_EQ(sdp.fetch_sps_pps(sps, pps), 0);
    EXPECT_EQ(sps, c.sps);
    EXPECT_EQ(pps, c.pps);
  }
}

}  // namespace
