// The video parameters of an SDP record: H.264 parameter sets (the first
// tagged line split at its first comma, both halves leniently Base64-decoded,
// trailing zero bytes dropped), H.265 ones (strictly decoded, from the format
// line of the video payload type) and the video encoding name; and the media
// sections of real and loosely written descriptions. Real servers'
// descriptions are in tests/data/sdp.
#include <fstream>

#include <rtsppull/sdp.h>
#include <rtsppull/tracks.h>

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

// tests/data/sdp/NAME.sdp without its header line, each line ended by CR LF.
std::string Described(const std::string& name) {
  std::ifstream in(RTSPPULL_TEST_DATA "/sdp/" + name + ".sdp");
  std::string text, line;
  for (std::getline(in, line); std::getline(in, line);) text += line + "\r\n";
  EXPECT_FALSE(text.empty()) << name;
  return text;
}

TEST(SdpFetchSpsPps, WorkedExamples) {
  const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9), old = "old";
  // clang-format off
  struct Case { std::string line; int result; std::string sps, pps; };
  const Case cases[] = {
      {"a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n", 0, kSps, "\x68\xCE\x3C\x80"},
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

// The encoding name of the video payload type in upper case; and the first
// H.265 set of each, or -1 with the outputs left alone unless all three decode.
TEST(SdpVideo, CodecAndH265ParameterSets) {
  const std::string v96 = "m=video 0 RTP/AVP 96\r\n",
                    sets = "sprop-vps=QQ;sprop-sps=QQ;sprop-pps=QQ\r\n";
  // clang-format off
  struct Case { const char* name; std::string text, codec; int result = -1; std::string vps = "v", sps = "s", pps = "p"; };
  const Case cases[] = {
      {"GStreamer's H.265 description", Described("gstreamer-h265"), "H265", 0,
       std::string("\x40\x01\x0C\x01\xFF\xFF\x01\x60\x00\x00\x03\x00\x90\x00\x00\x03\x00\x00\x03\x00\x3F\xBA\x02\x40", 24),
       std::string("\x42\x01\x01\x01\x60\x00\x00\x03\x00\x90\x00\x00\x03\x00\x00\x03\x00\x3F\xA0\x0A\x08\x0F\x16\x5B\xA4\xA4"
                   "\xC2\xFF\xF0\x00\x10\x00\x16\xA0\xC0\xC0\xC0\x80\x00\x00\x03\x00\x80\x00\x00\x0F\x04", 47),
       "\x44\x01\xC0\x71\x83\x12"},
      {"lists, blanks, other and repeated parameters, unpadded text",
       "m=video 0 RTP/AVP 98\r\na=rtpmap:98 H265/90000\r\na=fmtp:98 profile-id=1; "
       "sprop-sps=QUJD,REVG ;sprop-pps=QUI;sprop-vps=QQ==,Qg==;sprop-sps=Qg\r\n", "H265", 0, "A", "ABC", "AB"},
      {"the format line of the video payload type, not another", "m=audio 0 RTP/AVP 97\r\na=fmtp:97 " + sets +
       "m=video 0 RTP/AVP 96\r\na=fmtp:95 " + sets + "a=fmtp:96 sprop-vps=Qg;sprop-sps=Qw;sprop-pps=RA\r\n", "", 0, "B", "C", "D"},
      {"missing sprop-pps", v96 + "a=fmtp:96 sprop-vps=QQ;sprop-sps=QQ\r\n", ""},
      {"not Base64", v96 + "a=fmtp:96 sprop-vps=Q-Q;sprop-sps=QQ;sprop-pps=QQ\r\n", ""},
      {"a dangling character", v96 + "a=fmtp:96 sprop-vps=QUJDR;sprop-sps=QQ;sprop-pps=QQ\r\n", ""},
      {"three padding characters", v96 + "a=fmtp:96 sprop-vps=QQ===;sprop-sps=QQ;sprop-pps=QQ\r\n", ""},
      {"the line of a later section", v96 + "m=audio 0 RTP/AVP 96\r\na=fmtp:96 " + sets, ""},
      {"H.264 only", v96 + "a=fmtp:96 sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n", ""},
      {"lower case, after an audio description", "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"
       "m=video 0 RTP/AVP 96\r\na=rtpmap:96 h264/90000\r\n", "H264"},
      {"the line of the first payload type", "m=video 0 RTP/AVP 97 96\r\na=rtpmap:96 H264/90000\r\na=rtpmap:97 H265/90000\r\n", "H265"},
      {"none of the first payload type: the first line", "m=video 0 RTP/AVP 97\r\na=rtpmap:96 H264/90000\r\na=rtpmap:98 H265/90000\r\n", "H264"},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string vps = "v", sps = "s", pps = "p";
    EXPECT_EQ(Record(c.text).video_codec(), c.codec) << c.name;
    EXPECT_EQ(Record(c.text).fetch_vps_sps_pps(vps, sps, pps), c.result) << c.name;
    EXPECT_EQ(vps, c.vps) << c.name;
    EXPECT_EQ(sps, c.sps) << c.name;
    EXPECT_EQ(pps, c.pps) << c.name;
  }
}

// Written by hand on a camera: LF line ends, no v=, blanks at the ends, a
// tab, upper-case names, a bare fmtp, a second format, a static type
// without rtpmap, "*" as control.
const std::string kLoose =
    "m=Video 0 RTP/AVP 96 97  \na=RTPMAP:96  H265/90000 \na=fmtp:96\na=rtpmap:97 H264/90000\n"
    "a=control: track1 \n \nm=audio\t0 RTP/AVP 8\na=Control:*\nm=application 0 RTP/AVP 107\n"
    "a=rtpmap:107 vnd.onvif.metadata/90000\na=fmtp:107 one ; =x; two = 2 2 ;three\n";

TEST(SdpMedia, SectionsOfRealAndLooseDescriptions) {
  const std::string base = "rtsp://10.0.0.2/live", gst = Described("gstreamer-aac"),
                    perl = Described("perl-server"), vlc = Described("vlc"),
                    pcmu = Described("gstreamer-pcmu");
  // sections: how many the text has, index: the one checked; fmtpName: one
  // parameter, looked up in another case.
  // clang-format off
  struct Row {
    const char* name; std::string text; std::size_t sections, index; std::string media, protocol;
    std::vector<int> payloadTypes; std::string encodingName; int clockRate, channels; std::string control;
    std::size_t fmtpCount; std::string fmtpName, fmtpValue;
  };
  const Row rows[] = {
      {"GStreamer, video", gst, 2, 0, "video", "RTP/AVP", {96}, "H264", 90000, 0, base + "/stream=0", 4, "PACKETIZATION-MODE", "1"},
      {"GStreamer, AAC", gst, 2, 1, "audio", "RTP/AVP", {97}, "MPEG4-GENERIC", 48000, 1, base + "/stream=1", 7, "Config", "1188"},
      {"GStreamer, PCMU", pcmu, 1, 0, "audio", "RTP/AVP", {0}, "PCMU", 8000, 0, base + "/stream=1", 0, "config", ""},
      {"Perl server, AAC", perl, 2, 1, "audio", "RTP/AVP", {97}, "MPEG4-GENERIC", 44100, 2, base + "/streamid=1", 6, "config", "121056E500"},
      {"VLC, video", vlc, 2, 0, "video", "RTP/AVP", {96}, "H264", 90000, 0, "rtsp://127.0.0.1:8554/cam/trackID=0", 2, "profile-level-id", "64001f"},
      {"VLC, AAC", vlc, 2, 1, "audio", "RTP/AVP", {96}, "mpeg4-generic", 44100, 2, "rtsp://127.0.0.1:8554/cam/trackID=1", 8, "sizelength", "13"},
      {"loose, video", kLoose, 3, 0, "video", "RTP/AVP", {96, 97}, "H265", 90000, 0, base + "/track1", 0, "", ""},
      {"loose, static PCMA", kLoose, 3, 1, "audio", "RTP/AVP", {8}, "PCMA", 8000, 1, base, 0, "", ""},
      {"loose, metadata", kLoose, 3, 2, "application", "RTP/AVP", {107}, "vnd.onvif.metadata", 90000, 0, base, 4, "TWO", "2 2"},
      {"NULs end the text", "m=audio 0 RTP/AVP 0\r\n" + std::string(3, '\0') + "m=video 0 RTP/AVP 96\r\n", 1, 0, "audio", "RTP/AVP", {0}, "PCMU", 8000, 1, base, 0, "", ""},
      {"an m= line without formats", "m=video 0\r\na=rtpmap:96 H264/90000\r\n", 1, 0, "video", "", {}, "", 0, 0, base, 0, "", ""},
  };
  // clang-format on
  for (const Row& row : rows) {
    const std::vector<SDPMedia> all = SDPMedia::parseAll(row.text, base);
    ASSERT_EQ(all.size(), row.sections) << row.name;
    const SDPMedia& m = all[row.index];
    EXPECT_EQ(m.media, row.media) << row.name;
    EXPECT_EQ(m.protocol, row.protocol) << row.name;
    EXPECT_EQ(m.payloadTypes, row.payloadTypes) << row.name;
    EXPECT_EQ(m.payloadType, row.payloadTypes.empty() ? -1 : row.payloadTypes[0]) << row.name;
    EXPECT_EQ(m.encodingName, row.encodingName) << row.name;
    EXPECT_EQ(m.clockRate, row.clockRate) << row.name;
    EXPECT_EQ(m.channels, row.channels) << row.name;
    EXPECT_EQ(m.control, row.control) << row.name;
    EXPECT_EQ(m.fmtp.size(), row.fmtpCount) << row.name;
    EXPECT_EQ(m.fmtpValue(row.fmtpName), row.fmtpValue) << row.name;
  }
}

}  // namespace
