#include <rtsppull/sdp.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "sdp/base64.h"

namespace {

// Replaces `value` (Base64 text) with the bytes it decodes to, trailing zero
// bytes trimmed. The bytes may contain zeros anywhere else.
void decodeInPlace(std::string& value) {
  std::int32_t length = 0;
  std::unique_ptr<unsigned char[]> bytes(base64_decode(value.c_str(), &length, 1));
  value.assign(reinterpret_cast<const char*>(bytes.get()), static_cast<std::size_t>(length));
}

}  // namespace

SDP::SDP() : lines(), file_header(), file_header_len(0), text() {
  std::memset(file_header, 0, sizeof(file_header));
}

SDP::SDP(const SDP& other)
    : lines(other.lines), file_header(), file_header_len(other.file_header_len), text(other.text) {
  std::memcpy(file_header, other.file_header, sizeof(file_header));
}

SDP& SDP::operator=(const SDP& other) {
  if (this != &other) {
    lines = other.lines;
    std::memcpy(file_header, other.file_header, sizeof(file_header));
    file_header_len = other.file_header_len;
    text = other.text;
  }
  return *this;
}

SDP::~SDP() {}

int SDP::fetch_sps_pps(std::string& sps, std::string& pps) {
  static const std::string tag("sprop-parameter-sets");

  for (std::list<std::string>::const_iterator it = lines.begin(); it != lines.end(); ++it) {
    const std::string& line = *it;
    const std::string::size_type tagPos = line.find(tag);
    if (tagPos == std::string::npos) continue;

    // The character after the tag ('=' in a well-formed line) is skipped
    // unseen. find() treats a start past the end as "not found".
    const std::string::size_type valueStart = tagPos + tag.size() + 1;
    const std::string::size_type comma = line.find(',', valueStart);
    if (comma == std::string::npos) return -1;

    sps = line.substr(valueStart, comma - valueStart);
    const std::string::size_type secondStart = comma + 1;
    if (secondStart >= line.size()) return -1;
    // The rest of the line, CR LF and any further parameters included; the
    // decoder reads what is not Base64 as zero bits or an incomplete group.
    pps = line.substr(secondStart);

    decodeInPlace(sps);
    decodeInPlace(pps);
    return 0;
  }
  return -1;
}
