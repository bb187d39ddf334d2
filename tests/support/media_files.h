// Shared by the rtsp-pull tool's tests: a scratch directory, whole-file reads,
// the test data files' rows (data_rows.h), hex, RTP packets built from their
// header fields or their text and pushed into a depacketizer, counters, audio
// media sections from their text, shell commands and ffprobe.
#ifndef RTSPPULL_TESTS_SUPPORT_MEDIA_FILES_H_
#define RTSPPULL_TESTS_SUPPORT_MEDIA_FILES_H_

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <rtsppull/tracks.h>

#include "data_rows.h"

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/rtsp-pull-test.XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The parts of `text` between the `separator`s.
inline std::vector<std::string> split(const std::string& text, char separator = ' ') {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    if (!part.empty() || separator != ' ') parts.push_back(part);
  return parts;
}

inline std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// `bytes` in lower-case hex.
inline std::string hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

// An RTP packet of payload type `type` carrying `payload`.
inline std::vector<uint8_t> rtpPacket(uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                                      bool marker, const std::vector<uint8_t>& payload,
                                      int type = 96) {
  std::vector<uint8_t> packet = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | type)};
  for (int shift = 8; shift >= 0; shift -= 8) packet.push_back(uint8_t(sequence >> shift));
  for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(uint8_t(timestamp >> shift));
  for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(uint8_t(ssrc >> shift));
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

// An RTP packet written SEQUENCE/TIMESTAMP/MARKER/PAYLOAD[/SSRC]: M for the
// marker, the payload in hex, the SSRC 0x01020304 unless given; or the whole
// packet in hex after "=".
inline std::vector<uint8_t> rtpFromText(const std::string& text) {
  if (text[0] == '=') return fromHex(text.substr(1));
  const std::vector<std::string> f = split(text, '/');
  return rtpPacket(static_cast<uint16_t>(std::stoul(f[0])), static_cast<uint32_t>(std::stoul(f[1])),
                   f.size() > 4 ? static_cast<uint32_t>(std::stoul(f[4])) : 0x01020304, f[2] == "M",
                   f.size() > 3 ? fromHex(f[3]) : std::vector<uint8_t>());
}

// Pushes the packets of `text` (rtpFromText's, a space apart) into `to`, each
// copied into an exactly sized heap buffer, so that AddressSanitizer reports
// any read past a packet.
template <typename Depacketizer>
void pushPackets(Depacketizer& to, const std::string& text) {
  for (const std::string& packet : split(text)) {
    const std::vector<uint8_t> rtp = rtpFromText(packet);
    to.push(std::vector<uint8_t>(rtp).data(), rtp.size());
  }
}

// Appends `word` to the words of `to`, a space apart.
inline void addWord(std::string& to, const std::string& word) {
  to += (to.empty() ? "" : " ") + word;
}

// The numbers a space apart, as the data files write counters.
inline std::string counts(std::initializer_list<uint64_t> numbers) {
  std::string out;
  for (uint64_t n : numbers) addWord(out, std::to_string(n));
  return out;
}

// Runs `command` in a shell: its exit status (-1: none) and standard output.
inline std::pair<int, std::string> run(const std::string& command) {
  std::pair<int, std::string> result{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.second.append(buffer, n);
  const int status = pclose(pipe);
  result.first = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// What ffprobe says (its errors too, unless `quiet`) of the streams of `path`
// that `select` picks ("-select_streams SELECT"): their "-show_entries
// ENTRIES", a CSV line each, without the last line end.
inline std::string probe(const std::string& path, const std::string& entries,
                         const std::string& select, bool quiet = false) {
  std::string out =
      run(std::string("ffprobe -v ") + (quiet ? "quiet" : "error") + " -select_streams " + select +
          " -show_entries " + entries + " -of csv=p=0 '" + path + "' 2>&1")
          .second;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// An audio media section as SDPMedia::parseAll gives it, written ENCODING
// PAYLOAD-TYPE RATE CHANNELS FMTP ("-": none; FMTP as NAME=VALUE;...).
inline SDPMedia audioMedia(const std::string& text) {
  const std::vector<std::string> f = split(text);
  SDPMedia m;
  m.media = "audio";
  m.encodingName = f.at(0) == "-" ? "" : f[0];
  m.payloadType = std::stoi(f.at(1));
  m.clockRate = std::stoi(f.at(2));
  m.channels = std::stoi(f.at(3));
  for (const std::string& p : split(f.at(4) == "-" ? "" : f[4], ';'))
    m.fmtp.emplace_back(p.substr(0, p.find('=')), p.substr(p.find('=') + 1));
  return m;
}

#endif  // RTSPPULL_TESTS_SUPPORT_MEDIA_FILES_H_
