#include "sdp/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The decoded bytes in upper-case hex.
std::string decodeHex(const std::string& text, int trim) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::int32_t length = -1;
  std::unique_ptr<unsigned char[]> bytes(base64_decode(text.c_str(), &length, trim));
  std::string out;
  for (std::int32_t i = 0; i < length; ++i) out += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
  return out;
}

TEST(Base64Decode, GroupsPaddingTrimmingAndStrayCharacters) {
  const struct {
    const char* text;
    int trim;
    const char* hexBytes;
  } cases[] = {
      {"", 1, ""},
      {"abc", 0, ""},  // no whole group
      {"QUJD", 0, "414243"},
      {"QUI=", 1, "4142"},
      {"QUI=", 0, "414200"},  // padding gives zero bytes
      {"QQ==", 0, "410000"},
      {"AAAA", 1, ""},                // trimming drops data zeros too
      {"QQBBAEEA", 1, "4100410041"},  // inner zeros stay
      {"QUJD\r\n", 1, "414243"},      // CR LF: incomplete group
      {"YWJjZA", 1, "616263"},        // unpadded last group is lost
      {"QU JD", 0, "414009"},         // blank is zero bits, D incomplete
      {"-_-_", 0, "000000"},          // URL-safe characters are not in the alphabet
      {"Z0IAHpWoKA9k", 1, "6742001E95A8280F64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " trim=" + std::to_string(c.trim));
    EXPECT_EQ(decodeHex(c.text, c.trim), c.hexBytes);
  }
  EXPECT_EQ(decodeHex(kAlphabet, 1),
            "00108310518720928B30D38F41149351559761969B71D79F8218A39259A7A2"
            "9AABB2DBAFC31CB3D35DB7E39EBBF3DFBF");
  for (int c = 1; c < 256; ++c) {
    if (kAlphabet.find(static_cast<char>(c)) != std::string::npos) continue;
    SCOPED_TRACE("character code " + std::to_string(c));
    EXPECT_EQ(decodeHex(std::string("QUJ") + static_cast<char>(c), 0), "414240");
  }
}

TEST(Base64Decode, ConcurrentFirstCallsAgree) {
  // Each test runs in its own process, so these are the first calls here.
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::string& r : results) threads.emplace_back([&r] { r = decodeHex("aM48gA==", 1); });
  for (std::thread& t : threads) t.join();
  for (const std::string& r : results) EXPECT_EQ(r, "68CE3C80");
}

}  // namespace
