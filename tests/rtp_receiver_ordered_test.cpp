// The ordered-delivery receiver: order modulo 2^16, the window, dropped
// packets and their counters, a sender starting afresh, RTCP passing through.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <rtsppull/rtp_receiver_ordered.h>

#include "support/rtp_packet.h"

namespace {

using Seqs = std::vector<unsigned>;
const unsigned kNewSource = 0x10000;  // in an arrival list: this and later from another SSRC

// Records the sequence number of every 20-byte delivery and every other
// delivery whole; refuses the delivery numbered `refuseDelivery` (from 1).
struct RecordingReceiver : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    if (isFileHeader || length != 20) {
      passedThrough.emplace_back(data, length);
      return true;
    }
    seqs.push_back(static_cast<unsigned char>(data[2]) * 256u +
                   static_cast<unsigned char>(data[3]));
    return seqs.size() != refuseDelivery;
  }
  Seqs seqs;
  std::vector<std::string> passedThrough;
  std::size_t refuseDelivery = 0;
};

struct OrderedUnderTest : CRTPReceiverOrdered {
  using CRTPReceiverOrdered::CRTPReceiverOrdered;
  ~OrderedUnderTest() override {}  // public, for an object on the stack
  // The results of Execute, one per arrival.
  std::vector<bool> feed(IRTPReceiver& host, const Seqs& arrivals) {
    std::vector<bool> results;
    std::uint32_t ssrc = 0x11223344;
    for (unsigned seq : arrivals) {
      if (seq & kNewSource) ssrc = 0x55667788;
      results.push_back(Execute(&host, RtpPacket(seq & 0xFFFF, 0, ssrc), false, nullptr));
    }
    return results;
  }
};

// clang-format off
struct OrderRow { const char* name; unsigned window; Seqs arrivals, delivered; std::uint64_t lost, late, duplicate, restarts; };
const OrderRow kOrderRows[] = {
    {"reordered", 64, {10, 13, 12, 11, 14}, {10, 11, 12, 13, 14}, 0, 0, 0, 0},
    {"duplicates, held and delivered", 64, {10, 12, 12, 11, 10}, {10, 11, 12}, 0, 0, 2, 0},
    {"late after its place was skipped", 4, {10, 12, 13, 14, 15, 11}, {10, 12, 13, 14, 15}, 1, 1, 0, 0},
    {"loss beyond the window", 4, {10, 13, 15, 19, 30}, {10, 13, 15, 19, 30}, 16, 0, 0, 0},
    {"a jump with nothing held", 4, {10, 500}, {10, 500}, 489, 0, 0, 0},
    {"reordered across the wrap", 64, {65533, 1, 65535, 0, 2, 65534}, {65533, 65534, 65535, 0, 1, 2}, 0, 0, 0, 0},
    {"after the wrap first", 64, {65533, 2, 0, 1, 65535, 65534}, {65533, 65534, 65535, 0, 1, 2}, 0, 0, 0, 0},
    {"loss across the wrap", 2, {65534, 1, 2}, {65534, 1, 2}, 2, 0, 0, 0},
    {"late across the wrap", 2, {65535, 1, 2, 0}, {65535, 1, 2}, 1, 1, 0, 0},
    // A new SSRC, or two consecutive numbers far behind, start afresh (101
    // and 9 to 3999 lost); one number far behind alone is late.
    {"the sender starts afresh", 64, {100, 102, 7 | kNewSource, 8, 4000, 4001, 4002, 9, 10, 11},
     {100, 102, 7, 8, 4000, 4001, 4002, 10, 11}, 3992, 1, 0, 2},
    {"one number far behind", 64, {5000, 5001, 1000, 5002, 1001}, {5000, 5001, 5002}, 0, 2, 0, 0},
    // The first packets wait until two in a row do not move the start back.
    {"the first packets reversed", 64, {13, 12, 11, 10, 14, 15, 16}, {10, 11, 12, 13, 14, 15, 16}, 0, 0, 0, 0},
    {"the first packets reversed across the wrap", 64, {1, 0, 65535, 2, 3}, {65535, 0, 1, 2, 3}, 0, 0, 0, 0},
    {"a first packet beyond the window of the start is late", 4, {20, 15, 21, 22}, {20, 21, 22}, 0, 1, 0, 0},
    {"a first packet already held is a duplicate", 64, {11, 10, 11, 12, 13}, {10, 11, 12, 13}, 0, 0, 1, 0},
};
// clang-format on

TEST(OrderedReceiver, DeliversInSequenceOrderAndCounts) {
  for (const OrderRow& row : kOrderRows) {
    RecordingReceiver host;
    OrderedUnderTest ordered(row.window);
    ordered.feed(host, row.arrivals);
    const CRTPReceiverOrdered::Counters counters = ordered.counters();
    EXPECT_EQ(host.seqs, row.delivered) << row.name;
    EXPECT_EQ(counters.delivered, row.delivered.size()) << row.name;
    EXPECT_EQ(counters.lost, row.lost) << row.name;
    EXPECT_EQ(counters.late, row.late) << row.name;
    EXPECT_EQ(counters.duplicate, row.duplicate) << row.name;
    EXPECT_EQ(counters.restarts, row.restarts) << row.name;
  }
}

// RTCP (a receiver report here) and the file header go straight through while
// 3 waits for 2; the Execute whose delivery is refused reports it, and the
// held packets follow with the next one.
TEST(OrderedReceiver, PassThroughAndRefusal) {
  RecordingReceiver host;
  host.refuseDelivery = 2;
  OrderedUnderTest ordered;
  ordered.feed(host, {1, 3});
  const std::string rtcp("\x80\xC8\x00\x01\x00\x00\x00\x07", 8);
  ordered.Execute(&host, rtcp, false, nullptr);
  ordered.ExecuteRtcp(&host, "marked by the host");
  ordered.Execute(&host, "header", true, nullptr);
  EXPECT_EQ(host.passedThrough, (std::vector<std::string>{rtcp, "marked by the host", "header"}));
  EXPECT_EQ(ordered.feed(host, {2, 4}), (std::vector<bool>{false, true}));
  EXPECT_EQ(host.seqs, (Seqs{1, 2, 3, 4}));
}

}  // namespace
