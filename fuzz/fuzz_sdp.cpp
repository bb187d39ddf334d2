// Fuzz target: SDP::fetch_sps_pps on arbitrary description lines.
//
// Input layout: byte 0 selects how the rest is cut into lines (bit 0: append
// CR LF to each line, as the session stores them; bit 1: cut at CR LF instead
// of at LF alone). The remainder is the text of the lines.
//
// Besides what the sanitizers catch, checks what a caller may rely on: -1
// leaves `pps` untouched, and the decoded sets are never longer than the
// Base64 text they came from allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <rtsppull/sdp.h>

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned mode = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string separator = (mode & 2u) != 0 ? "\r\n" : "\n";

  SDP sdp;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if ((mode & 1u) != 0) line += "\r\n";
    sdp.lines.push_back(line);
    start = end + separator.size();
  }

  const std::string spsBefore = "previous sps";
  const std::string ppsBefore = "previous pps";
  std::string sps = spsBefore;
  std::string pps = ppsBefore;
  const int result = sdp.fetch_sps_pps(sps, pps);
  check(result == 0 || result == -1);
  if (result == -1) {
    check(pps == ppsBefore);
  } else {
    // Four Base64 characters give at most three bytes; no set can be longer
    // than the longest line allows.
    std::size_t longest = 0;
    for (const std::string& line : sdp.lines)
      longest = line.size() > longest ? line.size() : longest;
    check(sps.size() <= longest / 4 * 3);
    check(pps.size() <= longest / 4 * 3);
  }

  // A copy answers the same.
  SDP copy(sdp);
  std::string sps2;
  std::string pps2;
  check(copy.fetch_sps_pps(sps2, pps2) == result);
  if (result == 0) check(sps2 == sps && pps2 == pps);
  return 0;
}
