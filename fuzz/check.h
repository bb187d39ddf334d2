// The fuzz targets' own checks and input splitting. A failed check aborts,
// which libFuzzer reports as a crash with the input that caused it.
#ifndef RTSPPULL_FUZZ_CHECK_H_
#define RTSPPULL_FUZZ_CHECK_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

inline void check(bool condition) {
  if (!condition) std::abort();
}

// `text` cut at every `separator`; n separators give n + 1 pieces.
inline std::vector<std::string> splitAt(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  for (std::size_t start = 0, end; start <= text.size(); start = end + separator.size()) {
    end = std::min(text.find(separator, start), text.size());
    pieces.push_back(text.substr(start, end - start));
  }
  return pieces;
}

// Hands `onPacket` each packet of input made of a big-endian 2-byte length
// and the packet bytes, repeated; the last is cut at the end of the input.
// Each packet is an exact-size heap copy, so that a read past it is caught.
template <typename OnPacket>
void forEachPacket(const std::uint8_t* data, std::size_t size, OnPacket onPacket) {
  for (std::size_t pos = 0; pos + 2 <= size;) {
    const std::size_t length = std::min<std::size_t>(
        static_cast<std::size_t>(data[pos] << 8 | data[pos + 1]), size - pos - 2);
    const std::vector<std::uint8_t> packet(data + pos + 2, data + pos + 2 + length);
    pos += 2 + length;
    onPacket(packet.data(), packet.size());
  }
}

#endif  // RTSPPULL_FUZZ_CHECK_H_
