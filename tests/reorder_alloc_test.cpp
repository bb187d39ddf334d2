// Allocation failures in the reordering receiver and the object counts of
// IRTPReceiver::changeImpl, observed through replaced operator new.
#include <gtest/gtest.h>

#include "alloc_hooks.h"
#include "reorder_test_util.h"

using namespace reorder_test;
using Seqs = std::vector<std::uint16_t>;

namespace {

struct FailBigArrays {
  FailBigArrays() { alloc_hooks::failBigNothrowArrays = true; }
  ~FailBigArrays() { alloc_hooks::failBigNothrowArrays = false; }
};

// Whether the receiver's current implementation passes arbitrary bytes
// straight on (pass-through), files packets (reordering) or is missing.
enum class Kind { kNone, kTcp, kUdp };

Kind KindOf(RecordingReceiver& r) {
  r.calls.clear();
  const bool ok = r.Execute("ab", false, nullptr);  // too short to be a packet
  if (ok && r.calls.size() == 1) return Kind::kTcp;
  r.calls.clear();
  // A whole one-packet frame at a number no test uses otherwise.
  const bool filed = r.Execute(Packet(40000, 1, true, Start::kC0), false, nullptr);
  Kind k = filed && r.calls.size() == 1 ? Kind::kUdp : Kind::kNone;
  r.calls.clear();
  return k;
}

}  // namespace

// ---------------------------------------------------------------------------
// Allocation failures while filing a packet

// The pool's allocator reports failure with a null block: the packet is
// refused with false, nothing is buffered, and the receiver works on once
// memory is back.
TEST(ReorderAlloc, PoolWithoutBufferRefusesThePacket) {
  TestableUDP udp(8);
  RecordingReceiver host;
  {
    FailBigArrays fail;
    EXPECT_FALSE(udp.Execute(&host, Packet(1, 1, true, Start::kC0), false, nullptr));
  }
  EXPECT_TRUE(host.calls.empty());
  // Seq 1 was not buffered: a new copy goes straight out.
  EXPECT_TRUE(udp.Execute(&host, Packet(1, 1, true, Start::kC0), false, nullptr));
  EXPECT_EQ(host.Seqs(), Seqs{1});
}

// The pool runs dry once its first block is in use: the entries already
// buffered stay and complete their frame afterwards.
TEST(ReorderAlloc, PoolExhaustedMidFrameKeepsWhatIsBuffered) {
  TestableUDP udp(2);
  RecordingReceiver host;
  EXPECT_TRUE(udp.Execute(&host, Packet(1, 1, false, Start::kC0), false, nullptr));
  EXPECT_TRUE(udp.Execute(&host, Packet(2, 1, false), false, nullptr));
  {
    FailBigArrays fail;
    EXPECT_FALSE(udp.Execute(&host, Packet(3, 1, true), false, nullptr));
  }
  EXPECT_TRUE(udp.Execute(&host, Packet(3, 1, true), false, nullptr));
  EXPECT_EQ(host.Seqs(), (Seqs{1, 2, 3}));
}

// A throwing allocation of the count (1st) or of the map node (2nd) while a
// packet is filed: false, the packet is not buffered, the map is unchanged.
TEST(ReorderAlloc, ThrowingSmallAllocationsRefuseThePacket) {
  for (int nth : {1, 2}) {
    SCOPED_TRACE(nth);
    TestableUDP udp(16);
    RecordingReceiver host;
    host.calls.reserve(16);
    EXPECT_TRUE(udp.Execute(&host, Packet(1, 1, false, Start::kC0), false, nullptr));
    const std::string last = Packet(2, 1, true);
    alloc_hooks::throwOnNthNew = nth;
    EXPECT_FALSE(udp.Execute(&host, last, false, nullptr));
    EXPECT_EQ(alloc_hooks::throwOnNthNew.load(), 0);
    alloc_hooks::throwOnNthNew = 0;
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(udp.Execute(&host, last, false, nullptr));
    EXPECT_EQ(host.Seqs(), (Seqs{1, 2}));
  }
}

// ---------------------------------------------------------------------------
// changeImpl

struct SwitchCase {
  const char* name;
  std::vector<int> types;  // changeImpl arguments in order
  Kind expected;
};

class ChangeImpl : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(ChangeImpl, InstallsTheLastRequestedKind) {
  RecordingReceiver r;
  for (int t : GetParam().types) r.changeImpl(static_cast<RTP_RECEIVER_IMPL>(t));
  EXPECT_EQ(KindOf(r), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Switch, ChangeImpl,
                         ::testing::Values(SwitchCase{"Fresh", {}, Kind::kNone},
                                           SwitchCase{"Tcp", {101}, Kind::kTcp},
                                           SwitchCase{"Udp", {100}, Kind::kUdp},
                                           SwitchCase{"UdpThenTcp", {100, 101}, Kind::kTcp},
                                           SwitchCase{"TcpThenUdp", {101, 100}, Kind::kUdp},
                                           SwitchCase{"Zero", {101, 0}, Kind::kNone},
                                           SwitchCase{"NinetyNine", {100, 99}, Kind::kNone},
                                           SwitchCase{"OneHundredTwo", {101, 102}, Kind::kNone},
                                           SwitchCase{"NoneThenUdp", {7, 100}, Kind::kUdp}),
                         [](const ::testing::TestParamInfo<SwitchCase>& p) {
                           return std::string(p.param.name);
                         });

TEST(ChangeImplObjects, SameTypeCreatesNothing) {
  for (int t : {100, 101}) {
    RecordingReceiver r;
    r.changeImpl(static_cast<RTP_RECEIVER_IMPL>(t));
    const long before = alloc_hooks::newCalls.load();
    for (int i = 0; i < 10; ++i) r.changeImpl(static_cast<RTP_RECEIVER_IMPL>(t));
    EXPECT_EQ(alloc_hooks::newCalls.load(), before) << t;
  }
}

// Re-installing the reordering type keeps the object with its packets.
TEST(ChangeImplObjects, SameReorderingObjectKeepsItsPackets) {
  RecordingReceiver r;
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(1, 5, false, Start::kC0), false, nullptr));
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(2, 5, true), false, nullptr));
  EXPECT_EQ(r.Seqs(), (Seqs{1, 2}));
}

// Switching away drops the buffered packets undelivered; coming back starts
// with an empty buffer.
TEST(ChangeImplObjects, SwitchingAwayReleasesBufferedPackets) {
  RecordingReceiver r;
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(1, 5, false, Start::kC0), false, nullptr));
  r.changeImpl(RTP_RECEIVER_TCP);
  EXPECT_TRUE(r.calls.empty());
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(2, 5, true), false, nullptr));
  EXPECT_TRUE(r.calls.empty());  // 2 alone is no frame: 1 is gone
}

// The old implementation is destroyed before the new one is created, so a
// failing creation leaves the receiver without one.
TEST(ChangeImplObjects, FailedCreationLeavesNone) {
  RecordingReceiver r;
  r.changeImpl(RTP_RECEIVER_UDP);
  bool threw = false;
  alloc_hooks::throwOnNthNew = 1;
  try {
    r.changeImpl(RTP_RECEIVER_TCP);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  alloc_hooks::throwOnNthNew = 0;
  EXPECT_TRUE(threw);
  EXPECT_EQ(KindOf(r), Kind::kNone);
}
