// Shared by the rtsp-pull tool's tests: a scratch directory, whole-file reads,
// rows of test data files, RTP packets built from their header fields or their
// text, audio media sections, and shell commands.
#ifndef RTSPPULL_TESTS_SUPPORT_MEDIA_FILES_H_
#define RTSPPULL_TESTS_SUPPORT_MEDIA_FILES_H_

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <rtsppull/tracks.h>

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

#ifdef RTSPPULL_TEST_DATA
// The rows of tests/data/`name`, "INPUT => OUTPUT" each, with "\xNN" for a
// byte; lines starting with '#' are comments.
inline std::vector<std::pair<std::string, std::string>> dataRows(const std::string& name) {
  std::istringstream lines(readFile(std::string(RTSPPULL_TEST_DATA) + "/" + name));
  std::vector<std::pair<std::string, std::string>> rows;
  for (std::string line; std::getline(lines, line);) {
    for (size_t at; (at = line.find("\\x")) != std::string::npos;)
      line.replace(at, 4, 1, static_cast<char>(std::stoi(line.substr(at + 2, 2), nullptr, 16)));
    const size_t arrow = line.find(" => ");
    if (line.empty() || line[0] == '#') continue;
    if (arrow == std::string::npos)
      rows.emplace_back(line, "(a row without \" => \")");
    else
      rows.emplace_back(line.substr(0, arrow), line.substr(arrow + 4));
  }
  return rows;
}

// The rows of tests/data/`name`, their fields apart by '|' and trimmed of
// spaces; lines starting with '#' are comments.
inline std::vector<std::vector<std::string>> dataTable(const std::string& name) {
  std::istringstream lines(readFile(std::string(RTSPPULL_TEST_DATA) + "/" + name));
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    rows.emplace_back();
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '|');) {
      const size_t first = field.find_first_not_of(' '), last = field.find_last_not_of(' ');
      rows.back().push_back(first == std::string::npos ? ""
                                                       : field.substr(first, last + 1 - first));
    }
  }
  return rows;
}
#endif

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

// An RTP packet of payload type 96 carrying `payload`.
inline std::vector<uint8_t> rtpPacket(uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                                      bool marker, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> packet = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | 96)};
  for (int shift = 8; shift >= 0; shift -= 8) packet.push_back(uint8_t(sequence >> shift));
  for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(uint8_t(timestamp >> shift));
  for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(uint8_t(ssrc >> shift));
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

// An RTP packet written SEQUENCE/TIMESTAMP/MARKER/PAYLOAD[/SSRC]: M for the
// marker, the payload in hex, the SSRC 0x01020304 unless given.
inline std::vector<uint8_t> rtpFromText(const std::string& text) {
  const std::vector<std::string> f = split(text, '/');
  return rtpPacket(static_cast<uint16_t>(std::stoul(f[0])), static_cast<uint32_t>(std::stoul(f[1])),
                   f.size() > 4 ? static_cast<uint32_t>(std::stoul(f[4])) : 0x01020304, f[2] == "M",
                   f.size() > 3 ? fromHex(f[3]) : std::vector<uint8_t>());
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

// An audio media section as SDPMedia::parseAll gives it.
inline SDPMedia audioMedia(const std::string& encoding, int payloadType, int rate, int channels,
                           std::vector<std::pair<std::string, std::string>> fmtp) {
  SDPMedia m;
  m.media = "audio";
  m.payloadType = payloadType;
  m.encodingName = encoding;
  m.clockRate = rate;
  m.channels = channels;
  m.fmtp = std::move(fmtp);
  return m;
}

#endif  // RTSPPULL_TESTS_SUPPORT_MEDIA_FILES_H_
