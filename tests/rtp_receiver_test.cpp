// Receiver facade: changeImpl and copies of a receiver.
#include <rtsppull/rtp_receiver.h>

#include <gtest/gtest.h>

#include <vector>

#include "reorder_test_util.h"
#include "rtp/impl_count.h"

namespace {

using namespace reorder_test;

// Deliveries for a lone unmarked packet: 1 pass-through, 0 reordering
// (buffered), -1 refused (no implementation).
int Feed(RecordingReceiver& r) {
  r.calls.clear();
  return r.Execute(Packet(7, 1, false), false, nullptr) ? static_cast<int>(r.calls.size()) : -1;
}

TEST(RTPReceiverChangeImpl, InstallsTheLastRequestedKind) {
  const struct {
    std::vector<int> types;
    int feed;
  } cases[] = {{{}, -1},        {{101}, 1},     {{100}, 0},      {{100, 101}, 1},
               {{101, 100}, 0}, {{101, 0}, -1}, {{100, 99}, -1}, {{7, 100}, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.types));
    const long before = liveReceiverImplCount();
    {
      RecordingReceiver r;
      for (int t : c.types) r.changeImpl(static_cast<RTP_RECEIVER_IMPL>(t));
      EXPECT_EQ(Feed(r), c.feed);
      EXPECT_EQ(liveReceiverImplCount(), before + (c.feed < 0 ? 0 : 1));
    }
    EXPECT_EQ(liveReceiverImplCount(), before);
  }
  // The kind already installed keeps the object and its buffered packets;
  // switching away drops them.
  RecordingReceiver r;
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(1, 5, false, Start::kC0), false, nullptr));
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(2, 5, true), false, nullptr));
  EXPECT_EQ(r.seqs(), (Seqs{1, 2}));
  EXPECT_TRUE(r.Execute(Packet(3, 6, false, Start::kC0), false, nullptr));
  r.changeImpl(RTP_RECEIVER_TCP);
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(4, 6, true), false, nullptr));
  EXPECT_EQ(r.calls.size(), 2u);
}

// Copies own an implementation of the same kind: the live count shows a
// leak or a double destruction (AddressSanitizer the latter too).
TEST(RTPReceiverCopy, CopiesGetOwnImplementationsOfTheSameType) {
  const long before = liveReceiverImplCount();
  {
    RecordingReceiver passThrough, reordering, none;
    passThrough.changeImpl(RTP_RECEIVER_TCP);
    reordering.changeImpl(RTP_RECEIVER_UDP);
    auto* copy = new RecordingReceiver(passThrough);
    RecordingReceiver reorderingCopy(reordering);
    EXPECT_EQ(liveReceiverImplCount(), before + 4);
    passThrough.changeImpl(static_cast<RTP_RECEIVER_IMPL>(0));
    EXPECT_EQ(Feed(*copy), 1);
    delete copy;
    EXPECT_EQ(Feed(reorderingCopy), 0);

    RecordingReceiver target;
    target.changeImpl(RTP_RECEIVER_UDP);
    target = reordering;
    RecordingReceiver& self = target;
    target = self;
    EXPECT_EQ(Feed(target), 0);
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
    target = none;
    EXPECT_EQ(Feed(target), -1);
    EXPECT_EQ(liveReceiverImplCount(), before + 2);
  }
  EXPECT_EQ(liveReceiverImplCount(), before);
}

}  // namespace
