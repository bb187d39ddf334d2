// The fuzz targets' own checks and input splitting. A failed check aborts,
// which libFuzzer reports as a crash with the input that caused it.
#ifndef RTSPPULL_FUZZ_CHECK_H_
#define RTSPPULL_FUZZ_CHECK_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

inline void check(bool condition) { condition ? void() : std::abort(); }

// The input from byte `from` on, as text.
inline std::string textOf(const std::uint8_t* data, std::size_t size, std::size_t from = 0) {
  return std::string(reinterpret_cast<const char*>(data) + from, size - std::min(from, size));
}

// The big-endian 16-bit number at `p`.
inline unsigned be16(const void* p) {
  return static_cast<const unsigned char*>(p)[0] * 256u + static_cast<const unsigned char*>(p)[1];
}

// Owns a receiver implementation, which ends through Destroy().
template <typename Impl>
std::unique_ptr<Impl, void (*)(Impl*)> owned(Impl* impl) {
  return {impl, [](Impl* i) { i->Destroy(); }};
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

// Hands `onPacket(control, packet, length)` each record of input made of
// `controlBytes` bytes, a big-endian 2-byte length (taken modulo
// `lengthModulo`) and the packet bytes; the last is cut at the end of the
// input. Each packet is an exact-size heap copy, so that a read past it is
// caught.
template <typename OnPacket>
void forEachPacket(const std::uint8_t* data, std::size_t size, OnPacket onPacket,
                   std::size_t controlBytes = 0, unsigned lengthModulo = 65536) {
  for (std::size_t pos = 0, head = controlBytes + 2; pos + head <= size;) {
    const std::size_t length =
        std::min<std::size_t>(be16(data + pos + controlBytes) % lengthModulo, size - pos - head);
    const std::vector<std::uint8_t> packet(data + pos + head, data + pos + head + length);
    onPacket(data + pos, packet.data(), packet.size());
    pos += head + length;
  }
}

#endif  // RTSPPULL_FUZZ_CHECK_H_
