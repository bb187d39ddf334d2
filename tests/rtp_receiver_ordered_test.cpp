// The ordered-delivery receiver: order modulo 2^16, the window, dropped
// packets and their counters, RTCP and the file header passing through.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <rtsppull/rtp_receiver_ordered.h>

namespace {

using Seqs = std::vector<unsigned>;

// Version 2, payload type 96, 20 bytes; the last byte tells copies apart.
std::string RtpPacket(unsigned seq, std::uint32_t ssrc = 0x11223344, char copy = 0) {
  std::string p(20, copy);
  p[0] = '\x80';
  p[1] = '\x60';
  p[2] = static_cast<char>(seq >> 8 & 0xFF);
  p[3] = static_cast<char>(seq & 0xFF);
  for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i) & 0xFF);
  return p;
}

std::string RtcpReceiverReport() { return std::string("\x80\xC9\x00\x01\x00\x00\x00\x07", 8); }

// Records the sequence number of every delivery of a 20-byte RTP packet, and
// every other delivery whole.
struct RecordingReceiver : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP*) override {
    if (isFileHeader || length != 20) {
      passedThrough.emplace_back(data, length);
    } else {
      seqs.push_back(static_cast<unsigned char>(data[2]) * 256u +
                     static_cast<unsigned char>(data[3]));
      copies.push_back(data[length - 1]);
    }
    return seqs.size() != refuseDelivery;
  }
  Seqs seqs;
  std::string copies;
  std::vector<std::string> passedThrough;
  std::size_t refuseDelivery = 0;  // 1-based; 0: accept everything
};

struct OrderedUnderTest : CRTPReceiverOrdered {
  using CRTPReceiverOrdered::CRTPReceiverOrdered;
  ~OrderedUnderTest() override {}  // public, for an object on the stack
};

struct OrderRow {
  const char* name;
  unsigned window;
  Seqs arrivals;
  Seqs delivered;
  std::uint64_t lost, late, duplicate;
};

// clang-format off
// name, window, arrivals, delivered, lost, late, duplicate
const OrderRow kOrderRows[] = {
    {"in order", 64, {10, 11, 12, 13}, {10, 11, 12, 13}, 0, 0, 0},
    {"reordered within the window", 64, {10, 13, 12, 11, 14}, {10, 11, 12, 13, 14}, 0, 0, 0},
    {"a duplicate held and one delivered", 64, {10, 12, 12, 11, 10}, {10, 11, 12}, 0, 0, 2},
    {"late after its place was skipped", 4, {10, 12, 13, 14, 15, 11}, {10, 12, 13, 14, 15}, 1, 1, 0},
    {"loss beyond the window resumes at the next held", 4, {10, 13, 15, 19, 30}, {10, 13, 15, 19, 30}, 16, 0, 0},
    {"a jump with nothing held delivers at once", 4, {10, 500}, {10, 500}, 489, 0, 0},
    {"across the wrap in order", 64, {65534, 65535, 0, 1}, {65534, 65535, 0, 1}, 0, 0, 0},
    {"across the wrap, zero first", 64, {65534, 0, 65535, 1}, {65534, 65535, 0, 1}, 0, 0, 0},
    {"loss across the wrap", 2, {65534, 1, 2}, {65534, 1, 2}, 2, 0, 0},
    {"late across the wrap", 2, {65535, 1, 2, 0}, {65535, 1, 2}, 1, 1, 0},
};
// clang-format on

TEST(OrderedReceiver, DeliversInSequenceOrderModulo65536) {
  for (const OrderRow& row : kOrderRows) {
    SCOPED_TRACE(row.name);
    RecordingReceiver host;
    OrderedUnderTest ordered(row.window);
    for (unsigned seq : row.arrivals)
      ASSERT_TRUE(ordered.Execute(&host, RtpPacket(seq), false, nullptr));
    EXPECT_EQ(host.seqs, row.delivered);
    const CRTPReceiverOrdered::Counters counters = ordered.counters();
    EXPECT_EQ(counters.delivered, row.delivered.size());
    EXPECT_EQ(counters.lost, row.lost);
    EXPECT_EQ(counters.late, row.late);
    EXPECT_EQ(counters.duplicate, row.duplicate);
  }
}

// 65533 is delivered first and fixes the start; the five numbers after it,
// across the wrap, then arrive in each of their 120 orders.
TEST(OrderedReceiver, EveryOrderAcrossTheWrapComesOutInOrder) {
  Seqs run = {65534, 65535, 0, 1, 2};
  std::sort(run.begin(), run.end());
  do {
    RecordingReceiver host;
    OrderedUnderTest ordered;
    ordered.Execute(&host, RtpPacket(65533), false, nullptr);
    for (unsigned seq : run) ordered.Execute(&host, RtpPacket(seq), false, nullptr);
    ASSERT_EQ(host.seqs, (Seqs{65533, 65534, 65535, 0, 1, 2}))
        << "arrival order " << run[0] << " " << run[1] << " " << run[2] << " " << run[3] << " "
        << run[4];
    ASSERT_EQ(ordered.counters().lost, 0u);
  } while (std::next_permutation(run.begin(), run.end()));
}

TEST(OrderedReceiver, DeliversTheFirstCopyOfADuplicate) {
  RecordingReceiver host;
  OrderedUnderTest ordered;
  ordered.Execute(&host, RtpPacket(1, 0x11223344, 'a'), false, nullptr);
  ordered.Execute(&host, RtpPacket(3, 0x11223344, 'a'), false, nullptr);
  ordered.Execute(&host, RtpPacket(3, 0x11223344, 'b'), false, nullptr);
  ordered.Execute(&host, RtpPacket(2, 0x11223344, 'a'), false, nullptr);
  EXPECT_EQ(host.copies, "aaa");
}

TEST(OrderedReceiver, RtcpAndTheFileHeaderPassStraightThrough) {
  RecordingReceiver host;
  OrderedUnderTest ordered;
  ordered.Execute(&host, RtpPacket(1), false, nullptr);
  ordered.Execute(&host, RtpPacket(3), false, nullptr);  // held: 2 is missing
  EXPECT_TRUE(ordered.Execute(&host, RtcpReceiverReport(), false, nullptr));
  EXPECT_TRUE(ordered.ExecuteRtcp(&host, "marked by the host"));
  EXPECT_TRUE(ordered.Execute(&host, "header", true, nullptr));
  EXPECT_EQ(host.passedThrough,
            (std::vector<std::string>{RtcpReceiverReport(), "marked by the host", "header"}));
  EXPECT_EQ(host.seqs, Seqs{1});
  EXPECT_EQ(ordered.counters().rtcp, 2u);
}

TEST(OrderedReceiver, DropsWhatIsNotAnRtpPacket) {
  RecordingReceiver host;
  OrderedUnderTest ordered;
  EXPECT_TRUE(ordered.Execute(&host, "short", false, nullptr));
  EXPECT_TRUE(ordered.Execute(&host, std::string(12, '\0'), false, nullptr));  // version 0
  EXPECT_FALSE(ordered.Execute(nullptr, RtpPacket(1), false, nullptr));
  EXPECT_EQ(ordered.counters().invalid, 2u);
  EXPECT_TRUE(host.seqs.empty());
}

// A new SSRC, or two consecutive numbers far behind, start the count afresh;
// what was held goes first.
TEST(OrderedReceiver, RestartsWhenTheSenderStartsAfresh) {
  RecordingReceiver host;
  OrderedUnderTest ordered;
  for (unsigned seq : {100u, 102u}) ordered.Execute(&host, RtpPacket(seq), false, nullptr);
  ordered.Execute(&host, RtpPacket(7, 0x55667788), false, nullptr);
  ordered.Execute(&host, RtpPacket(8, 0x55667788), false, nullptr);
  for (unsigned seq : {4000u, 4001u, 4002u})
    ordered.Execute(&host, RtpPacket(seq, 0x55667788), false, nullptr);
  ordered.Execute(&host, RtpPacket(9, 0x55667788), false, nullptr);
  ordered.Execute(&host, RtpPacket(10, 0x55667788), false, nullptr);
  ordered.Execute(&host, RtpPacket(11, 0x55667788), false, nullptr);
  EXPECT_EQ(host.seqs, (Seqs{100, 102, 7, 8, 4000, 4001, 4002, 10, 11}));
  EXPECT_EQ(ordered.counters().restarts, 2u);
}

TEST(OrderedReceiver, ARefusalIsReportedAndTheRestFollowsLater) {
  RecordingReceiver host;
  host.refuseDelivery = 2;
  OrderedUnderTest ordered;
  ordered.Execute(&host, RtpPacket(1), false, nullptr);
  ordered.Execute(&host, RtpPacket(3), false, nullptr);
  EXPECT_FALSE(ordered.Execute(&host, RtpPacket(2), false, nullptr));
  EXPECT_TRUE(ordered.Execute(&host, RtpPacket(4), false, nullptr));
  EXPECT_EQ(host.seqs, (Seqs{1, 2, 3, 4}));
}

TEST(OrderedReceiver, ChangeImplInstallsIt) {
  struct Host : IRTPReceiver {
    bool OnRecvData(const char*, unsigned int, bool, SDP*) override { return true; }
  } host;
  host.changeImpl(RTP_RECEIVER_ORDERED);
  EXPECT_TRUE(host.Execute(RtpPacket(1), false, nullptr));
  host.changeImpl(RTP_RECEIVER_TCP);
  EXPECT_TRUE(host.Execute("anything", false, nullptr));
}

}  // namespace
