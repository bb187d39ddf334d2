// The video parameters of an SDP record: H.264 parameter sets (the first
// tagged line split at its first comma, both halves leniently Base64-decoded,
// trailing zero bytes dropped), H.265 ones (strictly decoded, from the format
// line of the video payload type) and the video encoding name.
#include <rtsppull/sdp.h>

#include <gtest/gtest.h>

namespace {

// A record of `text`, a line per CR LF.
SDP Record(const std::string& text) {
  SDP sdp;
  for (std::size_t from = 0, end; (end = text.find("\r\n", from)) != std::string::npos;
       from = end + 2)
    sdp.lines.push_back(text.substr(from, end + 2 - from));
  return sdp;
}

TEST(SdpFetchSpsPps, WorkedExamples) {
  const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9), old = "old";
  // clang-format off
  struct Case { std::string line; int result; std::string sps, pps; };
  const Case cases[] = {
      {"a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n", 0, kSps,
       "\x68\xCE\x3C\x80"},
      // Zero bytes inside are kept, trailing ones (padding or data) dropped.
      {"a=fmtp:96 sprop-parameter-sets=QQBBAEEA,QQ==\r\n", 0, std::string("A\0A\0A", 5), "A"},
      // Everything after the first comma is the second text; what is not
      // Base64 counts as zero bits.
      {"sprop-parameter-sets=QUJD,REVG,R0hJ\r\n", 0, "ABC", "DEF\x01\x1D\x21"},
      // An unpadded last group is lost, unless the CR LF completes it.
      {"sprop-parameter-sets=QUJDRA,QUJDRA\r\n", 0, "ABC", "ABCD"},
      // '+' is 62 and '/' is 63 in both sets.
      {"sprop-parameter-sets=+/+/,/+/+\r\n", 0, "\xFB\xFF\xBF", "\xFF\xEF\xFE"},
      // -1 leaves both alone, and the later tagged line is not looked at...
      {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k\r\n", -1, old, old},
      // ...except that with nothing after the comma and no CR LF, sps holds the text.
      {"a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,", -1, "Z0IAHpWoKA9k", old},
  };
  // clang-format on
  for (const Case& c : cases) {
    SDP sdp;
    sdp.lines = {"v=0\r\n", c.line, "a=fmtp:97 sprop-parameter-sets=QUJD,REVG\r\n"};
    std::string sps = old, pps = old;
    EXPECT_EQ(sdp.fetch_sps_pps(sps, pps), c.result) << c.line;
    EXPECT_EQ(sps, c.sps) << c.line;
    EXPECT_EQ(pps, c.pps) << c.line;
  }
}

// GStreamer's RTSP server describing an x265enc ! rtph265pay stream.
const std::string kGstreamerH265 =
    "v=0\r\nm=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:96 H265/90000\r\n"
    "a=framerate:30\r\na=fmtp:96 sprop-vps=QAEMAf//AWAAAAMAkAAAAwAAAwA/ugJA;sprop-sps="
    "QgEBAWAAAAMAkAAAAwAAAwA/oAoIDxZbpKTC//AAEAAWoMDAwIAAAAMAgAAADwQ=;sprop-pps=RAHAcYMS\r\n"
    "a=control:stream=0\r\n";

TEST(SdpFetchVpsSpsPps, TheFirstSetOfEach) {
  // clang-format off
  struct Case { const char* name; std::string text; std::string vps, sps, pps; };
  const Case cases[] = {
      {"GStreamer's H.265 description", kGstreamerH265,
       std::string("\x40\x01\x0C\x01\xFF\xFF\x01\x60\x00\x00\x03\x00\x90\x00\x00\x03\x00"
                          "\x00\x03\x00\x3F\xBA\x02\x40", 24),
       std::string("\x42\x01\x01\x01\x60\x00\x00\x03\x00\x90\x00\x00\x03\x00\x00\x03\x00"
                          "\x3F\xA0\x0A\x08\x0F\x16\x5B\xA4\xA4\xC2\xFF\xF0\x00\x10\x00\x16\xA0"
                          "\xC0\xC0\xC0\x80\x00\x00\x03\x00\x80\x00\x00\x0F\x04", 47),
       "\x44\x01\xC0\x71\x83\x12"},
      {"lists, blanks, other and repeated parameters, unpadded text",
       "m=video 0 RTP/AVP 98\r\na=rtpmap:98 H265/90000\r\na=fmtp:98 profile-id=1; "
       "sprop-sps=QUJD,REVG ;sprop-pps=QUI;sprop-vps=QQ==,Qg==;sprop-sps=Qg\r\n", "A", "ABC", "AB"},
      {"the format line of the video payload type, not another",
       "m=audio 0 RTP/AVP 97\r\na=fmtp:97 sprop-vps=QQ;sprop-sps=QQ;sprop-pps=QQ\r\n"
       "m=video 0 RTP/AVP 96\r\na=fmtp:95 sprop-vps=QQ;sprop-sps=QQ;sprop-pps=QQ\r\n"
       "a=fmtp:96 sprop-vps=Qg;sprop-sps=Qw;sprop-pps=RA\r\n", "B", "C", "D"},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string vps, sps, pps;
    EXPECT_EQ(Record(c.text).fetch_vps_sps_pps(vps, sps, pps), 0) << c.name;
    EXPECT_EQ(vps, c.vps) << c.name;
    EXPECT_EQ(sps, c.sps) << c.name;
    EXPECT_EQ(pps, c.pps) << c.name;
  }
}

TEST(SdpFetchVpsSpsPps, NothingUnlessAllThreeDecode) {
  // clang-format off
  struct Case { const char* name; std::string fmtp; };
  const Case cases[] = {
      {"missing sprop-pps", "a=fmtp:96 sprop-vps=QQ;sprop-sps=QQ\r\n"},
      {"not Base64", "a=fmtp:96 sprop-vps=Q-Q;sprop-sps=QQ;sprop-pps=QQ\r\n"},
      {"a dangling character", "a=fmtp:96 sprop-vps=QUJDR;sprop-sps=QQ;sprop-pps=QQ\r\n"},
      {"three padding characters", "a=fmtp:96 sprop-vps=QQ===;sprop-sps=QQ;sprop-pps=QQ\r\n"},
      {"the line of a later section", "m=audio 0 RTP/AVP 96\r\n"
                                       "a=fmtp:96 sprop-vps=QQ;sprop-sps=QQ;sprop-pps=QQ\r\n"},
      {"H.264 only", "a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string vps = "v", sps = "s", pps = "p";
    EXPECT_EQ(Record("m=video 0 RTP/AVP 96\r\n" + c.fmtp).fetch_vps_sps_pps(vps, sps, pps), -1)
        << c.name;
    EXPECT_EQ(vps + sps + pps, "vsp") << c.name << ": the outputs are left alone";
  }
}

TEST(SdpVideoCodec, EncodingNameOfTheVideoPayloadInUpperCase) {
  // clang-format off
  struct Case { const char* name; std::string text; std::string codec; };
  const Case cases[] = {
      {"GStreamer's H.265 description", kGstreamerH265, "H265"},
      {"lower case, after an audio description", "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"
       "m=video 0 RTP/AVP 96\r\na=rtpmap:96 h264/90000\r\n", "H264"},
      {"the line of the first payload type",
       "m=video 0 RTP/AVP 97 96\r\na=rtpmap:96 H264/90000\r\na=rtpmap:97 H265/90000\r\n", "H265"},
      {"none of the first payload type: the first line",
       "m=video 0 RTP/AVP 97\r\na=rtpmap:96 H264/90000\r\na=rtpmap:98 H265/90000\r\n", "H264"},
      {"no rtpmap", "m=video 0 RTP/AVP 96\r\na=control:*\r\n", ""},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(Record(c.text).video_codec(), c.codec) << c.name;
}

}  // namespace
