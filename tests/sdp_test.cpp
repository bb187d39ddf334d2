// The video parameters of an SDP record: H.264 parameter sets (the first
// tagged line split at its first comma, both halves leniently Base64-decoded,
// trailing zero bytes dropped), H.265 ones (strictly decoded, from the format
// line of the video payload type) and the video encoding name; and the media
// sections of real and loosely written descriptions. The records and what
// they give are in tests/data/sdp_video.txt and sdp_sections.txt, real
// servers' descriptions in tests/data/sdp.
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

// tests/data/sdp_video.txt: each record and what its video parameters give;
// tests/data/sdp_sections.txt: texts and their media sections.
TEST(Sdp, VideoParametersAndMediaSections) {
  for (const char* file : {"sdp_video.txt", "sdp_sections.txt"}) {
    for (const std::vector<std::string>& row : rtsptest::dataFields(file, " => ")) {
      std::string text = row.at(0);
      const std::string& expected = row.at(1);
      if (text[0] == '@')
        text = Described(text.substr(1, text.find(' ') - 1),
                         text.find(" LF") != std::string::npos ? "\n" : "\r\n");
      const std::vector<SDPMedia> media = SDPMedia::parseAll(text, "rtsp://10.0.0.2/live");
      SDP sdp;  // a line per LF, or up to a '|' that ends it without CR LF
      for (std::size_t from = 0, end; from < text.size(); from = end + 1) {
        end = std::min(text.find_first_of("\n|", from), text.size() - 1);
        sdp.lines.push_back(text.substr(from, end + (text[end] == '|' ? 0 : 1) - from));
      }
      std::string sps = "old", pps = "old", vps265 = "v", sps265 = "s", pps265 = "p";
      std::map<std::string, std::string> got = {
          {"codec", SDP(sdp).video_codec()},
          {"h264", std::to_string(SDP(sdp).fetch_sps_pps(sps, pps))},
          {"h264.sps", sps},
          {"h264.pps", pps},
          {"h265", std::to_string(SDP(sdp).fetch_vps_sps_pps(vps265, sps265, pps265))},
          {"vps", vps265},
          {"sps", sps265},
          {"pps", pps265},
          {"sections", std::to_string(media.size())}};
      for (std::size_t i = 0; i < media.size(); ++i) {
        const SDPMedia& m = media[i];
        std::string pts;
        for (const int pt : m.payloadTypes) pts += (pts.empty() ? "" : ",") + std::to_string(pt);
        for (const auto& [key, value] : {std::pair{"media", m.media},
                                         {"protocol", m.protocol},
                                         {"pts", pts},
                                         {"pt", std::to_string(m.payloadType)},
                                         {"encoding", m.encodingName},
                                         {"clock", std::to_string(m.clockRate)},
                                         {"channels", std::to_string(m.channels)},
                                         {"control", m.control},
                                         {"fmtps", std::to_string(m.fmtp.size())}})
          got[std::to_string(i) + "." + key] = value;
      }
      // Fields are "key=value"; a word without '=' belongs to the value before it.
      std::istringstream words(expected);
      std::vector<std::string> fields;
      for (std::string word; std::getline(words, word, ' ');)
        word.find('=') == std::string::npos && !fields.empty() ? fields.back() += " " + word
                                                               : fields.emplace_back(word);
      for (const std::string& field : fields) {
        const std::string key = field.substr(0, field.find('='));
        const std::size_t fmtp = key.find(".fmtp.");
        if (fmtp != std::string::npos && std::stoul(key) < media.size())
          got[key] = media[std::stoul(key)].fmtpValue(key.substr(fmtp + 6));
        EXPECT_EQ(key + "=" + (got.count(key) ? got[key] : "(none)"), field)
            << file << ": " << text;
      }
    }
  }
}

}  // namespace
