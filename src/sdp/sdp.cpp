#include <rtsppull/sdp.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

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

namespace {

// One line without its line end.
std::string stripLineEnd(const std::string& line) {
  std::string::size_type end = line.size();
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
  return line.substr(0, end);
}

std::string trimBlanks(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const std::string::size_type last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The lines of the first "m=video" description (its m= line excluded),
// without line ends; `formats` receives the payload formats of the m= line.
std::vector<std::string> videoSection(const std::list<std::string>& lines,
                                      std::vector<std::string>& formats) {
  std::vector<std::string> section;
  bool inVideo = false;
  for (std::list<std::string>::const_iterator it = lines.begin(); it != lines.end(); ++it) {
    const std::string line = stripLineEnd(*it);
    if (startsWith(line, "m=")) {
      if (inVideo) break;
      if (!startsWith(line, "m=video ")) continue;
      inVideo = true;
      // m=video PORT PROTO FMT ...
      std::string::size_type pos = 0;
      int field = 0;
      while (pos < line.size()) {
        const std::string::size_type start = line.find_first_not_of(' ', pos);
        if (start == std::string::npos) break;
        std::string::size_type end = line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        if (field >= 3) formats.push_back(line.substr(start, end - start));
        ++field;
        pos = end;
      }
      continue;
    }
    if (inVideo) section.push_back(line);
  }
  return section;
}

// For "a=NAME:FMT REST", true with `rest` set when FMT is `format` (or
// `format` is empty: any).
bool attributeFor(const std::string& line, const char* name, const std::string& format,
                  std::string& rest) {
  const std::string prefix = std::string("a=") + name + ":";
  if (!startsWith(line, prefix.c_str())) return false;
  const std::string value = line.substr(prefix.size());
  const std::string::size_type space = value.find_first_of(" \t");
  const std::string fmt = value.substr(0, space);
  if (!format.empty() && fmt != format) return false;
  rest = space == std::string::npos ? std::string() : trimBlanks(value.substr(space));
  return true;
}

// Strict standard Base64 (RFC 4648), padding optional; false on any
// character outside the alphabet or a dangling single character.
bool decodeStrict(const std::string& text, std::string& out) {
  std::string bytes;
  unsigned int bits = 0;
  int count = 0;
  std::string::size_type end = text.size();
  while (end > 0 && text[end - 1] == '=') --end;
  if (text.size() - end > 2) return false;
  for (std::string::size_type i = 0; i < end; ++i) {
    const char c = text[i];
    unsigned int v;
    if (c >= 'A' && c <= 'Z') {
      v = static_cast<unsigned int>(c - 'A');
    } else if (c >= 'a' && c <= 'z') {
      v = static_cast<unsigned int>(c - 'a' + 26);
    } else if (c >= '0' && c <= '9') {
      v = static_cast<unsigned int>(c - '0' + 52);
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else {
      return false;
    }
    bits = (bits << 6) | v;
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>((bits >> count) & 0xFFu));
    }
  }
  if (count >= 6) return false;  // one character alone cannot make a byte
  out.swap(bytes);
  return true;
}

}  // namespace

int SDP::fetch_vps_sps_pps(std::string& vps, std::string& sps, std::string& pps) {
  std::vector<std::string> formats;
  const std::vector<std::string> section = videoSection(lines, formats);
  const std::string format = formats.empty() ? std::string() : formats.front();
  std::string params;
  bool found = false;
  for (std::vector<std::string>::const_iterator it = section.begin(); it != section.end(); ++it) {
    if (attributeFor(*it, "fmtp", format, params)) {
      found = true;
      break;
    }
  }
  if (!found) return -1;

  static const char* const kNames[3] = {"sprop-vps", "sprop-sps", "sprop-pps"};
  std::string decoded[3];
  bool have[3] = {false, false, false};
  std::string::size_type pos = 0;
  while (pos <= params.size()) {
    std::string::size_type end = params.find(';', pos);
    if (end == std::string::npos) end = params.size();
    const std::string item = trimBlanks(params.substr(pos, end - pos));
    pos = end + 1;
    const std::string::size_type eq = item.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = trimBlanks(item.substr(0, eq));
    for (int k = 0; k < 3; ++k) {
      if (have[k] || name != kNames[k]) continue;
      const std::string value = trimBlanks(item.substr(eq + 1));
      const std::string first = trimBlanks(value.substr(0, value.find(',')));
      if (!decodeStrict(first, decoded[k]) || decoded[k].empty()) return -1;
      have[k] = true;
    }
  }
  if (!have[0] || !have[1] || !have[2]) return -1;
  vps.swap(decoded[0]);
  sps.swap(decoded[1]);
  pps.swap(decoded[2]);
  return 0;
}

std::string SDP::video_codec() {
  std::vector<std::string> formats;
  const std::vector<std::string> section = videoSection(lines, formats);
  const std::string format = formats.empty() ? std::string() : formats.front();
  std::string chosen, rest;
  bool found = false;
  for (std::vector<std::string>::const_iterator it = section.begin(); it != section.end(); ++it) {
    if (!attributeFor(*it, "rtpmap", std::string(), rest)) continue;
    std::string own;
    if (!format.empty() && attributeFor(*it, "rtpmap", format, own)) {
      chosen = own;
      found = true;
      break;
    }
    if (!found) chosen = rest;
    found = true;
  }
  // "H265/90000" gives "H265".
  std::string name = chosen.substr(0, chosen.find('/'));
  for (std::string::size_type i = 0; i < name.size(); ++i) {
    if (name[i] >= 'a' && name[i] <= 'z') name[i] = static_cast<char>(name[i] - 'a' + 'A');
  }
  return name;
}
