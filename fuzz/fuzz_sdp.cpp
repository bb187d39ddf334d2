// Fuzz target: SDP::fetch_sps_pps on arbitrary lines. Byte 0: bit 0 appends
// CR LF to each line (as the session stores them), bit 1 cuts the rest into
// lines at CR LF instead of LF. Checks: -1 leaves pps alone; the sets are no
// longer than Base64 in the longest line allows; a copy answers the same.
// And SDPMedia::parseAll on the same text: no more sections than "m="
// lines, each with its first payload type and a control URL.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <rtsppull/sdp.h>
#include <rtsppull/tracks.h>

#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  SDP sdp;
  std::size_t longest = 0;
  for (const std::string& line : splitAt(textOf(data, size, 1), (data[0] & 2) ? "\r\n" : "\n")) {
    sdp.lines.push_back(line + ((data[0] & 1) != 0 ? "\r\n" : ""));
    longest = std::max(longest, sdp.lines.back().size());
  }
  std::string sps = "old", pps = "old", sps2, pps2;
  const int result = sdp.fetch_sps_pps(sps, pps);
  check(result == -1 ? pps == "old"
                     : result == 0 && std::max(sps.size(), pps.size()) <= longest / 4 * 3);
  check(SDP(sdp).fetch_sps_pps(sps2, pps2) == result &&
        (result != 0 || (sps2 == sps && pps2 == pps)));

  const std::string text = textOf(data, size, 1);
  const std::vector<SDPMedia> media = SDPMedia::parseAll(text, "rtsp://h/b");
  std::size_t sections = 0;
  for (auto at = text.find("m="); at != std::string::npos; at = text.find("m=", at + 1)) ++sections;
  check(media.size() <= sections);
  for (const SDPMedia& m : media) {
    check(m.payloadType == (m.payloadTypes.empty() ? -1 : m.payloadTypes.front()));
    check(!m.control.empty() && m.clockRate >= 0 && m.channels >= 0);
  }
  return 0;
}
