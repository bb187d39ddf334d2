// The parameter sets of an SDP record: the first tagged line is split at its
// first comma and both halves Base64-decoded, trailing zero bytes dropped.
#include <rtsppull/sdp.h>

#include <gtest/gtest.h>

namespace {

TEST(SdpFetchSpsPps, WorkedExamples) {
  const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9), old = "old";
  // clang-format off
  struct Case { std::string line; int result; std::string sps, pps; };
  const Case cases[] = {
      {"a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n", 0, kSps,
       "\x68\xCE\x3C\x80"},
      // Zero bytes inside are kept, trailing ones (padding or data) dropped.
      {"a=fmtp:96 sprop-parameter-sets=QQBBAEEA,QUI=\r\n", 0, std::string("A\0A\0A", 5), "AB"},
      // Everything after the first comma is the second text; what is not
      // Base64 counts as zero bits.
      {"sprop-parameter-sets=QUJD,REVG,R0hJ\r\n", 0, "ABC", "DEF\x01\x1D\x21"},
      // An unpadded last group is lost, unless the CR LF completes it.
      {"sprop-parameter-sets=QUJDRA,QUJDRA\r\n", 0, "ABC", "ABCD"},
      // -1 leaves both alone, and the later tagged line is not looked at...
      {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k\r\n", -1, old, old},
      {"a=x,y;sprop-parameter-sets=Z0IA\r\n", -1, old, old},
      {"a=fmtp:96 sprop-parameter-sets", -1, old, old},
      // ...except that with nothing after the comma and no CR LF, sps holds the text.
      {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,", -1, "Z0IAHpWoKA9k", old},
  };
  // clang-format on
  for (const Case& c : cases) {
    SDP sdp;
    sdp.lines = {"v=0\r\n", c.line, "a=fmtp:97 sprop-parameter-sets=QUJD,REVG\r\n"};
    std::string sps = old, pps = old;
    EXPECT_EQ(sdp.fetch_sps_pps(sps, pps), c.result) << c.line;
    EXPECT_EQ(sps + "|" + pps, c.sps + "|" + c.pps) << c.line;
  }
}

}  // namespace
