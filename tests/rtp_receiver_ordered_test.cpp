// The ordered-delivery receiver: order modulo 2^16, the window, dropped
// packets and their counters, a sender starting afresh, RTCP passing through.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <rtsppull/rtp_receiver_ordered.h>

namespace {

using Seqs = std::vector<unsigned>;

// Version 2, payload type 96, 20 bytes.
std::string RtpPacket(unsigned seq, std::uint32_t ssrc = 0x11223344) {
  std::string p(20, '\0');
  p[0] = '\x80';
  p[1] = '\x60';
  p[2] = static_cast<char>(seq >> 8 & 0xFF);
  p[3] = static_cast<char>(seq & 0xFF);
  for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i) & 0xFF);
  return p;
}

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
  void feed(IRTPReceiver& host, const Seqs& seqs, std::uint32_t ssrc = 0x11223344) {
    for (unsigned seq : seqs) Execute(&host, RtpPacket(seq, ssrc), false, nullptr);
  }
};

struct OrderRow {
  const char* name;
  unsigned window;
  Seqs arrivals, delivered;
  std::uint64_t lost, late, duplicate;
};

// clang-format off
// name, window, arrivals, delivered, lost, late, duplicate
const OrderRow kOrderRows[] = {
    {"in order", 64, {10, 11, 12}, {10, 11, 12}, 0, 0, 0},
    {"reordered", 64, {10, 13, 12, 11, 14}, {10, 11, 12, 13, 14}, 0, 0, 0},
    {"duplicates, held and delivered", 64, {10, 12, 12, 11, 10}, {10, 11, 12}, 0, 0, 2},
    {"late after its place was skipped", 4, {10, 12, 13, 14, 15, 11}, {10, 12, 13, 14, 15}, 1, 1, 0},
    {"loss beyond the window", 4, {10, 13, 15, 19, 30}, {10, 13, 15, 19, 30}, 16, 0, 0},
    {"a jump with nothing held", 4, {10, 500}, {10, 500}, 489, 0, 0},
    {"loss across the wrap", 2, {65534, 1, 2}, {65534, 1, 2}, 2, 0, 0},
    {"late across the wrap", 2, {65535, 1, 2, 0}, {65535, 1, 2}, 1, 1, 0},
};
// clang-format on

TEST(OrderedReceiver, DeliversInSequenceOrderAndCounts) {
  for (const OrderRow& row : kOrderRows) {
    SCOPED_TRACE(row.name);
    RecordingReceiver host;
    OrderedUnderTest ordered(row.window);
    ordered.feed(host, row.arrivals);
    EXPECT_EQ(host.seqs, row.delivered);
    EXPECT_EQ(ordered.counters().delivered, row.delivered.size());
    EXPECT_EQ(ordered.counters().lost, row.lost);
    EXPECT_EQ(ordered.counters().late, row.late);
    EXPECT_EQ(ordered.counters().duplicate, row.duplicate);
  }
}

// 65533 fixes the start; the five numbers after it, across the wrap, then
// arrive in each of their 120 orders.
TEST(OrderedReceiver, EveryOrderAcrossTheWrapComesOutInOrder) {
  Seqs run = {0, 1, 2, 65534, 65535};
  do {
    RecordingReceiver host;
    OrderedUnderTest ordered;
    ordered.feed(host, Seqs{65533});
    ordered.feed(host, run);
    ASSERT_EQ(host.seqs, (Seqs{65533, 65534, 65535, 0, 1, 2}))
        << "arrival order " << run[0] << " " << run[1] << " " << run[2] << " " << run[3] << " "
        << run[4];
  } while (std::next_permutation(run.begin(), run.end()));
}

TEST(OrderedReceiver, RtcpAndTheFileHeaderPassStraightThrough) {
  RecordingReceiver host;
  OrderedUnderTest ordered;
  ordered.feed(host, {1, 3});  // 3 held: 2 is missing
  const std::string rtcp("\x80\xC9\x00\x01\x00\x00\x00\x07", 8);
  ordered.Execute(&host, rtcp, false, nullptr);
  ordered.ExecuteRtcp(&host, "marked by the host");
  ordered.Execute(&host, "header", true, nullptr);
  EXPECT_EQ(host.passedThrough, (std::vector<std::string>{rtcp, "marked by the host", "header"}));
  EXPECT_EQ(host.seqs, Seqs{1});
}

// A new SSRC, or two consecutive numbers far behind, start the count afresh.
TEST(OrderedReceiver, RestartsWhenTheSenderStartsAfresh) {
  RecordingReceiver host;
  OrderedUnderTest ordered;
  ordered.feed(host, {100, 102});
  ordered.feed(host, {7, 8, 4000, 4001, 4002, 9, 10, 11}, 0x55667788);
  EXPECT_EQ(host.seqs, (Seqs{100, 102, 7, 8, 4000, 4001, 4002, 10, 11}));
  EXPECT_EQ(ordered.counters().restarts, 2u);
}

TEST(OrderedReceiver, ARefusalIsReportedAndTheRestFollowsLater) {
  RecordingReceiver host;
  host.refuseDelivery = 2;
  OrderedUnderTest ordered;
  ordered.feed(host, {1, 3});
  EXPECT_FALSE(ordered.Execute(&host, RtpPacket(2), false, nullptr));
  EXPECT_TRUE(ordered.Execute(&host, RtpPacket(4), false, nullptr));
  EXPECT_EQ(host.seqs, (Seqs{1, 2, 3, 4}));
}

}  // namespace
