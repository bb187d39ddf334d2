#include "sdp/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string decode(const std::string& text, int trim) {
  std::int32_t length = -1;
  std::unique_ptr<unsigned char[]> bytes(base64_decode(text.c_str(), &length, trim));
  EXPECT_NE(bytes, nullptr);
  EXPECT_GE(length, 0);
  return std::string(reinterpret_cast<const char*>(bytes.get()), static_cast<std::size_t>(length));
}

// Reference encoder for the round-trip test (standard alphabet, '=' padding).
std::string encode(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned int v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

struct Case {
  const char* text;
  int trim;
  std::string expected;
};

TEST(Base64Decode, GroupsPaddingTrimmingAndStrayCharacters) {
  const std::vector<Case> cases = {
      {"", 1, ""},
      {"", 0, ""},
      {"a", 0, ""},
      {"abc", 0, ""},
      {"QUJD", 0, "ABC"},
      {"QUJD", 1, "ABC"},
      {"QUI=", 1, "AB"},
      {"QUI=", 0, std::string("AB\0", 3)},
      {"QQ==", 1, "A"},
      {"QQ==", 0, std::string("A\0\0", 3)},
      // Trimming removes zero bytes that are data, too.
      {"AAAA", 0, std::string(3, '\0')},
      {"AAAA", 1, ""},
      // Zero bytes inside the data are kept.
      {"AEEA", 1, std::string("\0A", 2)},
      {"QQBB", 1, std::string("A\0A", 3)},
      // A trailing CR LF is an incomplete group and is ignored.
      {"QUJD\r\n", 1, "ABC"},
      // Unpadded text loses its incomplete last group.
      {"YWJjZA", 1, "abc"},
      {"YWJjZA==", 1, "abcd"},
      // A blank counts as zero bits; the final D is an incomplete group.
      {"QU JD", 0, "\x41\x40\x09"},
      // URL-safe characters are not in the alphabet.
      {"-_-_", 0, std::string(3, '\0')},
      {"Z0IAHpWoKA9k", 1, std::string("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("text=\"") + c.text + "\" trim=" + std::to_string(c.trim));
    EXPECT_EQ(decode(c.text, c.trim), c.expected);
  }
}

TEST(Base64Decode, WholeAlphabetRoundTrips) {
  std::string bytes;
  for (int i = 255; i >= 0; --i) bytes += static_cast<char>(i);
  bytes += "x";  // keep the trailing zero byte out of trimming's reach
  const std::string text = encode(bytes);
  ASSERT_EQ(text.size() % 4, 0u);
  EXPECT_EQ(decode(text, 1), bytes);
  EXPECT_EQ(decode(text, 0).substr(0, bytes.size()), bytes);
}

TEST(Base64Decode, EveryCharacterOutsideTheAlphabetIsZeroBits) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 1; c < 256; ++c) {
    if (alphabet.find(static_cast<char>(c)) != std::string::npos) continue;
    SCOPED_TRACE("character code " + std::to_string(c));
    // "QUJ" followed by a zero-valued character decodes to 41 42 40.
    EXPECT_EQ(decode(std::string("QUJ") + static_cast<char>(c), 0), "AB@");
  }
}

TEST(Base64Decode, ConcurrentFirstCallsAgree) {
  // Each test runs in its own process, so these are the first calls here.
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&results, i] { results[i] = decode("aM48gA==", 1); });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& r : results) EXPECT_EQ(r, "\x68\xCE\x3C\x80");
}

}  // namespace
