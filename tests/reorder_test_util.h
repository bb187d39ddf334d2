// Packet builder and a recording host receiver for the receiver tests.
#ifndef RTSPPULL_TESTS_REORDER_TEST_UTIL_H_
#define RTSPPULL_TESTS_REORDER_TEST_UTIL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <rtsppull/rtp_receiver.h>
#include <rtsppull/rtp_receiver_udp.h>

namespace reorder_test {

using Seqs = std::vector<std::uint16_t>;

// Bytes 12-15: an ordinary slice, or one of the two frame-start words.
enum class Start { kNone, kC0, kOne };

// Version 2, payload type 96; `tag` varies the filler so equal headers differ.
inline std::string Packet(std::uint16_t seq, std::uint32_t ts, bool marker,
                          Start start = Start::kNone, std::size_t length = 1400,
                          unsigned char tag = 0) {
  static const char* const kWords[] = {"\x65\x88\x84\x00", "\xC0\x02\x40\xFF", "\x01\x00\x00\x00"};
  std::string p(length < 16 ? 16 : length, static_cast<char>(tag));
  p[0] = '\x80';
  p[1] = static_cast<char>(marker ? 0xE0 : 0x60);
  for (int i = 0; i < 2; ++i) p[2 + i] = static_cast<char>(seq >> (8 - 8 * i));
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<char>(ts >> (24 - 8 * i));
  p.replace(8, 4, "\x11\x22\x33\x44");
  p.replace(12, 4, kWords[static_cast<int>(start)], 4);
  p.resize(length);
  return p;
}

inline std::uint16_t SeqOf(const std::string& packet) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(packet[2]) << 8) |
                                    static_cast<unsigned char>(packet[3]));
}

// Records every delivery; `verdict` (if set) answers call n (1-based).
class RecordingReceiver : public IRTPReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool, SDP*) override {
    calls.emplace_back(data, length);
    return verdict ? verdict(calls.size()) : true;
  }
  Seqs seqs() const {
    Seqs out;
    for (const std::string& c : calls) out.push_back(SeqOf(c));
    return out;
  }
  std::vector<std::string> calls;
  std::function<bool(std::size_t)> verdict;
};

class TestableUDP : public CRTPReceiverOnUDP {
 public:
  using CRTPReceiverOnUDP::CRTPReceiverOnUDP;
  using CRTPReceiverOnUDP::recvIntactFrame;
  ~TestableUDP() override {}  // public, for a receiver on the stack
};

}  // namespace reorder_test

#endif  // RTSPPULL_TESTS_REORDER_TEST_UTIL_H_
