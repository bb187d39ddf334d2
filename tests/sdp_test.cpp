// Base64 decoding and the parameter sets of an SDP record.
#include <rtsppull/sdp.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sdp/base64.h"

namespace {

const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9);
const std::string kPps("\x68\xCE\x3C\x80", 4);

TEST(Base64Decode, GroupsPaddingTrimmingAndStrayCharacters) {
  const struct {
    const char* text;
    int trim;
    std::string bytes;
  } cases[] = {
      {"", 1, ""},
      {"QUI=", 1, "AB"},
      {"QUI=", 0, std::string("AB\0", 3)},  // padding gives zero bytes
      {"QQBBAEEA", 1, std::string("A\0A\0A", 5)},
      {"YWJjZA", 1, "abc"},  // unpadded last group is lost
      {"QU JD", 0, "A@\t"},  // blank is zero bits, D incomplete
      {"Z0IAHpWoKA9k", 1, kSps},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " trim=" + std::to_string(c.trim));
    std::int32_t length = -1;
    std::unique_ptr<unsigned char[]> bytes(base64_decode(c.text, &length, c.trim));
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(bytes.get()), static_cast<std::size_t>(length)),
        c.bytes);
  }
}

// -1 leaves both results alone (except the last case); otherwise the first
// tagged line is split at its first comma and both halves decoded.
TEST(SdpFetchSpsPps, WorkedExamples) {
  const std::string previous = "previous";
  const struct {
    std::string line;
    int result;
    std::string sps, pps;
  } cases[] = {
      {"a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n", 0, kSps,
       kPps},
      {"a=fmtp:96 sprop-parameter-sets=,aM48gA==\r\n", 0, "", kPps},
      // Everything after the first comma is the second text.
      {"sprop-parameter-sets=QUJD,REVG,R0hJ\r\n", 0, "ABC", "DEF\x01\x1D\x21"},
      // The character after the tag is skipped unseen.
      {"a=fmtp:96 x-sprop-parameter-sets-v2:QUJD,REVG\r\n", 0, "\xBF\x60\x10", "DEF"},
      // The closing CR LF completes an unpadded group of the second set only.
      {"sprop-parameter-sets=QUJDRA,QUJDRA\r\n", 0, "ABC", "ABCD"},
      {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k\r\n", -1, previous, previous},
      {"a=x,y;sprop-parameter-sets=Z0IA\r\n", -1, previous, previous},
      {"a=fmtp:96 sprop-parameter-sets", -1, previous, previous},
      // Nothing after the comma and no CR LF: sps already holds the text.
      {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,", -1, "Z0IAHpWoKA9k", previous},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    SDP sdp;
    // Only the first tagged line counts.
    sdp.lines = {"v=0\r\n", c.line, "a=fmtp:97 sprop-parameter-sets=QUJD,REVG\r\n"};
    std::string sps = previous, pps = previous;
    EXPECT_EQ(sdp.fetch_sps_pps(sps, pps), c.result);
    EXPECT_EQ(sps, c.sps);
    EXPECT_EQ(pps, c.pps);
  }
  SDP empty;
  std::string sps, pps;
  EXPECT_EQ(empty.fetch_sps_pps(sps, pps), -1);
}

}  // namespace
