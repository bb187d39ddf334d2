#include <rtsppull/sdp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9);
const std::string kPps("\x68\xCE\x3C\x80", 4);
const std::string kFmtp =
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,"
    "aM48gA==\r\n";

SDP recordWith(const std::vector<std::string>& lines) {
  SDP sdp;
  sdp.lines.assign(lines.begin(), lines.end());
  return sdp;
}

TEST(SdpRecord, StartsEmptyAndZeroed) {
  SDP sdp;
  EXPECT_TRUE(sdp.lines.empty());
  EXPECT_TRUE(sdp.text.empty());
  EXPECT_EQ(sdp.file_header_len, 0u);
  for (char byte : sdp.file_header) ASSERT_EQ(byte, 0);
}

TEST(SdpRecord, CopyAndAssignmentCopyEveryMember) {
  SDP source;
  source.lines = {"v=0\r\n", "\r\n", kFmtp};
  for (unsigned int i = 0; i < SDP::kFileHeaderCapacity; ++i) {
    source.file_header[i] = static_cast<char>(i * 7 + 1);
  }
  source.file_header_len = 3;  // bytes beyond it are copied all the same
  source.text = std::string("v=0\r\n") + std::string(8187, '\0');

  const auto expectSameAs = [&source](const SDP& copy) {
    EXPECT_EQ(copy.lines, source.lines);
    EXPECT_EQ(copy.file_header_len, source.file_header_len);
    EXPECT_EQ(std::memcmp(copy.file_header, source.file_header, SDP::kFileHeaderCapacity), 0);
    EXPECT_EQ(copy.text, source.text);
  };

  SDP constructed(source);
  expectSameAs(constructed);

  SDP assigned;
  assigned.lines = {"stale\r\n"};
  assigned.text = "stale";
  assigned = source;
  expectSameAs(assigned);

  SDP& self = assigned;
  assigned = self;
  expectSameAs(assigned);

  // Copies are independent of their source.
  source.lines.clear();
  source.file_header[8191] = 0;
  EXPECT_EQ(constructed.lines.size(), 3u);
  EXPECT_NE(constructed.file_header[8191], 0);
}

TEST(SdpFetchSpsPps, WorkedExample) {
  SDP sdp = recordWith({"v=0\r\n", "m=video 0 RTP/AVP 96\r\n", kFmtp});
  std::string sps = "old sps";
  std::string pps = "old pps";
  ASSERT_EQ(sdp.fetch_sps_pps(sps, pps), 0);
  EXPECT_EQ(sps, kSps);
  EXPECT_EQ(pps, kPps);
  EXPECT_EQ(sdp.lines.back(), kFmtp);  // the record is not changed
}

struct FailureCase {
  const char* name;
  std::vector<std::string> lines;
  std::string spsAfter;  // what sps holds after the -1
};

TEST(SdpFetchSpsPps, MinusOneCases) {
  const std::vector<FailureCase> cases = {
      {"fresh record", {}, "keep"},
      {"no tag", {"v=0\r\n", "a=fmtp:96 packetization-mode=1\r\n"}, "keep"},
      {"no comma", {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k\r\n"}, "keep"},
      // A comma before the tag does not count.
      {"comma only before the tag", {"a=x,y;sprop-parameter-sets=Z0IA\r\n"}, "keep"},
      {"tag ends the line", {"a=fmtp:96 sprop-parameter-sets"}, "keep"},
      {"tag and one character end the line", {"a=fmtp:96 sprop-parameter-sets="}, "keep"},
      // The skipped character after the tag is not searched for the comma.
      {"comma right after the tag", {"sprop-parameter-sets,"}, "keep"},
      // Nothing after the comma and no CR LF: sps already holds the text.
      {"line ends with the comma",
       {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,"},
       "Z0IAHpWoKA9k"},
      // Only the first line with the tag is looked at.
      {"first tagged line unusable", {"a=fmtp:96 sprop-parameter-sets=Z0IA\r\n", kFmtp}, "keep"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    SDP sdp = recordWith(c.lines);
    std::string sps = "keep";
    std::string pps = "keep";
    EXPECT_EQ(sdp.fetch_sps_pps(sps, pps), -1);
    EXPECT_EQ(sps, c.spsAfter);
    EXPECT_EQ(pps, "keep");
  }
}

struct SuccessCase {
  const char* name;
  std::string line;
  std::string sps;
  std::string pps;
};

TEST(SdpFetchSpsPps, ValueSplittingAndDecoding) {
  const std::vector<SuccessCase> cases = {
      {"empty first set", "a=fmtp:96 sprop-parameter-sets=,aM48gA==\r\n", "", kPps},
      {"empty second set", "a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,\r\n", kSps, ""},
      {"no CR LF", "sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==", kSps, kPps},
      // Everything after the first comma is the second text; the second
      // comma and CR LF are zero bits or an incomplete group.
      {"three sets", "sprop-parameter-sets=QUJD,REVG,R0hJ\r\n", "ABC", "DEF\x01\x1D\x21"},
      // Further parameters become part of the second text.
      {"parameter after the sets", "sprop-parameter-sets=QUJD,REVG;profile-level-id=42001e\r\n",
       "ABC",
       "DEF\x02\x9A\xE8\x7E\x29\x5E\x02\x57\xAF\x7A\x50\x22\x74\x0E\x36"
       "\xD3\x4D\x5E"},
      // Matched as a substring, with whatever character follows it.
      {"longer name", "a=fmtp:96 x-sprop-parameter-sets-v2:QUJD,REVG\r\n", "\xBF\x60\x10", "DEF"},
      {"tag in another parameter", "a=sprop-parameter-sets:QUJD,REVG\r\n", "ABC", "DEF"},
      // The closing CR LF completes an unpadded group of the second set only.
      {"unpadded", "sprop-parameter-sets=QUJDRA,QUJDRA\r\n", "ABC", "ABCD"},
      // Decoded bytes may hold zeros anywhere but at the end.
      {"embedded zero bytes", "sprop-parameter-sets=QQBB,AEEA\r\n", std::string("A\0A", 3),
       std::string("\0A", 2)},
  };
  for (const SuccessCase& c : cases) {
    SCOPED_TRACE(c.name);
    SDP sdp = recordWith({"v=0\r\n", c.line});
    std::string sps = "previous contents";
    std::string pps = "previous contents";
    ASSERT_EQ(sdp.fetch_sps_pps(sps, pps), 0);
    EXPECT_EQ(sps, c.sps);
    EXPECT_EQ(pps, c.pps);
  }
}

TEST(SdpFetchSpsPps, FirstOfSeveralTaggedLinesWins) {
  SDP sdp = recordWith({kFmtp, "a=fmtp:97 sprop-parameter-sets=QUJD,REVG\r\n"});
  std::string sps;
  std::string pps;
  ASSERT_EQ(sdp.fetch_sps_pps(sps, pps), 0);
  EXPECT_EQ(sps, kSps);
  EXPECT_EQ(pps, kPps);
}

}  // namespace
