// The media sections of a session description, read leniently: cameras and
// servers write descriptions with LF or CR line ends, trailing blanks, no
// "v=" line, spaces around fmtp parameters, attribute names in any case.
#include <rtsppull/tracks.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <string_view>

#include "session/rtsp_text.h"

namespace {

using rtsptext::equalsIgnoreCase;
using rtsptext::trim;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A decimal number of at most 9 digits, nothing else; -1 otherwise.
int smallNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The blank-separated words of `text`.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of(" \t", start);
    if (end == std::string_view::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    at = end;
  }
  return out;
}

// "a=<name>:<value>" with `name` in any case: true with `value` set.
bool attribute(std::string_view line, std::string_view name, std::string_view& value) {
  if (line.size() < name.size() + 3 || line.compare(0, 2, "a=") != 0 ||
      !equalsIgnoreCase(line.substr(2, name.size()), name) || line[2 + name.size()] != ':') {
    return false;
  }
  value = trim(line.substr(name.size() + 3));
  return true;
}

// "<pt> <rest>" of an rtpmap or fmtp value: the payload type, and the rest
// trimmed; -1 when the value does not start with a number.
int formatOf(std::string_view value, std::string_view& rest) {
  const std::size_t end = value.find_first_of(" \t");
  rest = end == std::string_view::npos ? std::string_view() : trim(value.substr(end));
  return smallNumber(value.substr(0, end));
}

struct Rtpmap {
  std::string name;
  int clockRate = 0;
  int channels = 0;
};

// RFC 3551's static payload types that an m= line may use without an
// rtpmap (audio and video alike).
bool staticRtpmap(int payloadType, Rtpmap& map) {
  struct Known {
    int type;
    const char* name;
    int clockRate, channels;
  };
  static const Known kKnown[] = {
      {0, "PCMU", 8000, 1},   {3, "GSM", 8000, 1},    {4, "G723", 8000, 1},
      {5, "DVI4", 8000, 1},   {6, "DVI4", 16000, 1},  {7, "LPC", 8000, 1},
      {8, "PCMA", 8000, 1},   {9, "G722", 8000, 1},   {10, "L16", 44100, 2},
      {11, "L16", 44100, 1},  {12, "QCELP", 8000, 1}, {13, "CN", 8000, 1},
      {14, "MPA", 90000, 0},  {15, "G728", 8000, 1},  {16, "DVI4", 11025, 1},
      {17, "DVI4", 22050, 1}, {18, "G729", 8000, 1},  {25, "CelB", 90000, 0},
      {26, "JPEG", 90000, 0}, {28, "nv", 90000, 0},   {31, "H261", 90000, 0},
      {32, "MPV", 90000, 0},  {33, "MP2T", 90000, 0}, {34, "H263", 90000, 0},
  };
  for (const Known& known : kKnown) {
    if (known.type != payloadType) continue;
    map = Rtpmap{known.name, known.clockRate, known.channels};
    return true;
  }
  return false;
}

// One section while it is read: the rtpmap and fmtp values of every format,
// applied to the first format when the section ends.
struct Section {
  SDPMedia media;
  std::map<int, Rtpmap> rtpmaps;
  std::map<int, std::string> fmtps;
  bool hasControl = false;
};

void parseFmtp(std::string_view text, std::vector<std::pair<std::string, std::string>>& out) {
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find(';', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = trim(text.substr(at, end - at));
    at = end + 1;
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      out.emplace_back(std::string(item), std::string());
    } else {
      out.emplace_back(std::string(trim(item.substr(0, equals))),
                       std::string(trim(item.substr(equals + 1))));
    }
  }
}

void finish(Section& section, const std::string& baseUrl, std::vector<SDPMedia>& out) {
  SDPMedia& media = section.media;
  const auto map = section.rtpmaps.find(media.payloadType);
  Rtpmap found;
  if (map != section.rtpmaps.end()) {
    found = map->second;
  } else {
    staticRtpmap(media.payloadType, found);
  }
  media.encodingName = found.name;
  media.clockRate = found.clockRate;
  media.channels = found.channels;
  const auto fmtp = section.fmtps.find(media.payloadType);
  if (fmtp != section.fmtps.end()) parseFmtp(fmtp->second, media.fmtp);
  if (!section.hasControl) media.control = baseUrl;
  out.push_back(std::move(media));
}

}  // namespace

std::string SDPMedia::fmtpValue(const std::string& name) const {
  for (const auto& parameter : fmtp) {
    if (equalsIgnoreCase(parameter.first, name)) return parameter.second;
  }
  return std::string();
}

std::vector<SDPMedia> SDPMedia::parseAll(const std::string& sdpText, const std::string& baseUrl) {
  std::vector<SDPMedia> out;
  try {
    // A record's text is padded with NULs: the description ends at the first.
    const std::string_view text(sdpText.data(), std::min(sdpText.find('\0'), sdpText.size()));
    std::unique_ptr<Section> section;
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find_first_of("\r\n", at);
      if (end == std::string_view::npos) end = text.size();
      const std::string_view line = trim(text.substr(at, end - at));
      at = end + 1;
      if (line.compare(0, 2, "m=") == 0) {
        if (section) finish(*section, baseUrl, out);
        section.reset(new Section);
        // m=<media> <port>[/<count>] <protocol> <format> ...
        const std::vector<std::string_view> fields = words(line.substr(2));
        SDPMedia& media = section->media;
        if (!fields.empty()) media.media = lower(fields[0]);
        if (fields.size() > 2) media.protocol = std::string(fields[2]);
        for (std::size_t i = 3; i < fields.size(); ++i) {
          const int type = smallNumber(fields[i]);
          if (type >= 0) media.payloadTypes.push_back(type);
        }
        if (!media.payloadTypes.empty()) media.payloadType = media.payloadTypes.front();
        continue;
      }
      // Session-level lines say nothing about a section.
      if (!section) continue;
      std::string_view value, rest;
      if (attribute(line, "rtpmap", value)) {
        // <pt> <encoding>/<clock rate>[/<channels>]
        const int type = formatOf(value, rest);
        if (type < 0 || section->rtpmaps.count(type) != 0) continue;
        Rtpmap map;
        const std::size_t slash = rest.find('/');
        map.name = std::string(trim(rest.substr(0, slash)));
        if (slash != std::string_view::npos) {
          const std::string_view numbers = rest.substr(slash + 1);
          const std::size_t second = numbers.find('/');
          map.clockRate = std::max(0, smallNumber(trim(numbers.substr(0, second))));
          if (second != std::string_view::npos) {
            map.channels = std::max(0, smallNumber(trim(numbers.substr(second + 1))));
          }
        }
        section->rtpmaps[type] = map;
      } else if (attribute(line, "fmtp", value)) {
        const int type = formatOf(value, rest);
        if (type >= 0 && section->fmtps.count(type) == 0) section->fmtps[type] = std::string(rest);
      } else if (attribute(line, "control", value) && !section->hasControl) {
        section->hasControl = true;
        section->media.control = rtsptext::resolveUrl(baseUrl, value);
      }
    }
    if (section) finish(*section, baseUrl, out);
  } catch (...) {
    // Out of memory: what was read so far.
  }
  return out;
}
