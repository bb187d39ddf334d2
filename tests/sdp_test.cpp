// The video parameters of an SDP record: H.264 parameter sets (the first
// tagged line split at its first comma, both halves leniently Base64-decoded,
// trailing zero bytes dropped), H.265 ones (strictly decoded, from the format
// line of the video payload type) and the video encoding name; and the media
// sections of real and loosely written descriptions. The records and what
// they give are in tests/data/sdp_video.txt, real servers' descriptions in
// tests/data/sdp.
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include <rtsppull/sdp.h>
#include <rtsppull/tracks.h>

#include <gtest/gtest.h>

#include "support/media_files.h"

namespace {

// tests/data/sdp/NAME.sdp without its header line, each line ended by `end`.
std::string Described(const std::string& name, const char* end = "\r\n") {
  std::ifstream in(RTSPPULL_TEST_DATA "/sdp/" + name + ".sdp");
  std::string text, line;
  for (std::getline(in, line); std::getline(in, line);) text += line + end;
  EXPECT_FALSE(text.empty()) << name;
  return text;
}

// tests/data/sdp_video.txt: each record and what its video parameters give.
TEST(SdpVideo, CodecAndParameterSets) {
  for (const std::vector<std::string>& row : dataTable("sdp_video.txt", " => ")) {
    std::string text = row.at(0);
    const std::string& expected = row.at(1);
    if (text[0] == '@') text = Described(text.substr(1));
    for (std::size_t at; (at = text.find("\\r\\n")) != std::string::npos;)
      text.replace(at, 4, "\r\n");
    SDP sdp;  // a line per LF, or up to a '|' that ends it without CR LF
    for (std::size_t from = 0, end; from < text.size(); from = end + 1) {
      end = std::min(text.find_first_of("\n|", from), text.size() - 1);
      sdp.lines.push_back(text.substr(from, end + (text[end] == '|' ? 0 : 1) - from));
    }
    std::string sps = "old", pps = "old", vps265 = "v", sps265 = "s", pps265 = "p";
    const std::map<std::string, std::string> got = {
        {"codec", SDP(sdp).video_codec()},
        {"h264", std::to_string(SDP(sdp).fetch_sps_pps(sps, pps))},
        {"h264.sps", sps},
        {"h264.pps", pps},
        {"h265", std::to_string(SDP(sdp).fetch_vps_sps_pps(vps265, sps265, pps265))},
        {"vps", vps265},
        {"sps", sps265},
        {"pps", pps265}};
    std::istringstream fields(expected);
    for (std::string field; std::getline(fields, field, ' ');) {
      const std::string key = field.substr(0, field.find('='));
      EXPECT_EQ(key + "=" + got.at(key), field) << text;
    }
  }
}

TEST(SdpMedia, SectionsOfRealAndLooseDescriptions) {
  const std::string base = "rtsp://10.0.0.2/live", gst = Described("gstreamer-aac"),
                    perl = Described("perl-server"), vlc = Described("vlc"),
                    pcmu = Described("gstreamer-pcmu"), loose = Described("loose", "\n");
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
      {"loose, video", loose, 3, 0, "video", "RTP/AVP", {96, 97}, "H265", 90000, 0, base + "/track1", 0, "", ""},
      {"loose, static PCMA", loose, 3, 1, "audio", "RTP/AVP", {8}, "PCMA", 8000, 1, base, 0, "", ""},
      {"loose, metadata", loose, 3, 2, "application", "RTP/AVP", {107}, "vnd.onvif.metadata", 90000, 0, base, 4, "TWO", "2 2"},
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
