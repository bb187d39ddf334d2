#include "sdp/base64.h"

#include <array>
#include <cstring>
#include <memory>

namespace {

const unsigned char kNotInAlphabet = 0x80;

typedef std::array<unsigned char, 256> DecodeTable;

DecodeTable makeDecodeTable() {
  DecodeTable table;
  table.fill(kNotInAlphabet);
  for (int i = 0; i < 26; ++i) {
    table[static_cast<unsigned char>('A' + i)] = static_cast<unsigned char>(i);
    table[static_cast<unsigned char>('a' + i)] = static_cast<unsigned char>(26 + i);
  }
  for (int i = 0; i < 10; ++i) {
    table[static_cast<unsigned char>('0' + i)] = static_cast<unsigned char>(52 + i);
  }
  table[static_cast<unsigned char>('+')] = 62;
  table[static_cast<unsigned char>('/')] = 63;
  table[static_cast<unsigned char>('=')] = 0;
  return table;
}

// Built once, on first use; the initialisation of a function-local static is
// serialised by the compiler, so concurrent first calls are safe.
const DecodeTable& decodeTable() {
  static const DecodeTable table = makeDecodeTable();
  return table;
}

}  // namespace

unsigned char* base64_decode(const char* text, std::int32_t* outLength, int trim) {
  const DecodeTable& table = decodeTable();
  const std::size_t n = std::strlen(text);
  // Every four characters give three bytes, so n bytes always suffice.
  std::unique_ptr<unsigned char[]> work(new unsigned char[n + 1]);
  std::size_t count = 0;
  for (std::size_t offset = 0; offset + 3 < n; offset += 4) {
    unsigned int v[4];
    for (std::size_t k = 0; k < 4; ++k) {
      const unsigned char entry = table[static_cast<unsigned char>(text[offset + k])];
      v[k] = (entry & kNotInAlphabet) != 0 ? 0u : entry;
    }
    work[count++] = static_cast<unsigned char>(((v[0] << 2) | (v[1] >> 4)) & 0xFFu);
    work[count++] = static_cast<unsigned char>(((v[1] << 4) | (v[2] >> 2)) & 0xFFu);
    work[count++] = static_cast<unsigned char>(((v[2] << 6) | v[3]) & 0xFFu);
  }
  if (trim != 0) {
    while (count > 0 && work[count - 1] == 0) --count;
  }
  unsigned char* result = new unsigned char[count];
  if (count > 0) std::memcpy(result, work.get(), count);
  *outLength = static_cast<std::int32_t>(count);
  return result;
}
