#include <rtsppull/rtp_receiver.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "rtp/impl_count.h"

namespace {

using ::testing::_;
using ::testing::Return;
using ::testing::Throw;

class MockReceiver : public IRTPReceiver {
 public:
  MOCK_METHOD(bool, OnRecvData, (const char*, unsigned int, bool, SDP*), (override));
};

// Copyable, unlike the mock. Tells the implementations apart from outside: a
// lone RTP packet without the marker is delivered at once by the
// pass-through implementation and buffered by the reordering one.
class CountingReceiver : public IRTPReceiver {
 public:
  bool OnRecvData(const char*, unsigned int, bool, SDP*) override {
    ++calls;
    return true;
  }
  // Delivered calls for one packet, or -1 when the receiver refused it.
  int feed() {
    calls = 0;
    const std::string packet("\x80\x60\x00\x07\0\0\0\0\0\0\0\0payload", 19);
    return Execute(packet, false, nullptr) ? calls : -1;
  }
  int calls = 0;
};

TEST(RTPReceiverOnTCP, ForwardsOnceUnchangedAndReturnsTheVerdict) {
  MockReceiver receiver;
  SDP sdp;
  EXPECT_CALL(receiver, OnRecvData(_, _, _, _)).Times(0);
  EXPECT_FALSE(receiver.Execute("data", true, &sdp));  // no implementation yet
  ::testing::Mock::VerifyAndClearExpectations(&receiver);

  CRTPReceiverOnTCP* impl = new CRTPReceiverOnTCP;
  EXPECT_FALSE(impl->Execute(nullptr, "data", false, nullptr));
  const std::string data("a\0b", 3);
  const std::string empty;
  EXPECT_CALL(receiver, OnRecvData(data.c_str(), 3u, true, &sdp)).WillOnce(Return(true));
  EXPECT_CALL(receiver, OnRecvData(empty.c_str(), 0u, false, nullptr)).WillOnce(Return(false));
  EXPECT_TRUE(impl->Execute(&receiver, data, true, &sdp));
  EXPECT_FALSE(impl->Execute(&receiver, empty, false, nullptr));
  impl->Destroy();

  // Through the facade the receiver passes itself; host exceptions pass on.
  receiver.changeImpl(RTP_RECEIVER_TCP);
  EXPECT_CALL(receiver, OnRecvData(data.c_str(), 3u, false, &sdp))
      .WillOnce(Return(false))
      .WillOnce(Throw(std::runtime_error("host failure")));
  EXPECT_FALSE(receiver.Execute(data, false, &sdp));
  EXPECT_THROW(receiver.Execute(data, false, &sdp), std::runtime_error);
}

// changeImpl keeps or replaces the implementation; any value other than 100
// and 101 leaves none. feed(): 1 pass-through, 0 reordering, -1 none.
TEST(RTPReceiverChangeImpl, InstallsTheLastRequestedKind) {
  const struct {
    std::vector<int> types;
    int feed;
  } cases[] = {{{}, -1},       {{101}, 1},      {{100}, 0},       {{100, 101}, 1}, {{101, 100}, 0},
               {{101, 0}, -1}, {{100, 99}, -1}, {{101, 102}, -1}, {{7, 100}, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.types));
    const long before = liveReceiverImplCount();
    {
      CountingReceiver r;
      for (int t : c.types) r.changeImpl(static_cast<RTP_RECEIVER_IMPL>(t));
      EXPECT_EQ(r.feed(), c.feed);
      EXPECT_EQ(liveReceiverImplCount(), before + (c.feed < 0 ? 0 : 1));
    }
    EXPECT_EQ(liveReceiverImplCount(), before);
  }
}

// Every implementation object is counted, so a leak or a double destruction
// shows up as a wrong count (and the latter under AddressSanitizer too).
TEST(RTPReceiverCopy, CopiesGetOwnImplementationsOfTheSameType) {
  const long before = liveReceiverImplCount();
  {
    CountingReceiver passThrough, reordering, none;
    passThrough.changeImpl(RTP_RECEIVER_TCP);
    reordering.changeImpl(RTP_RECEIVER_UDP);
    CountingReceiver* copy = new CountingReceiver(passThrough);
    CountingReceiver reorderingCopy(reordering), noneCopy(none);
    EXPECT_EQ(liveReceiverImplCount(), before + 4);

    passThrough.changeImpl(static_cast<RTP_RECEIVER_IMPL>(0));
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
    EXPECT_EQ(copy->feed(), 1);  // still works without its source
    delete copy;
    EXPECT_EQ(liveReceiverImplCount(), before + 2);
    EXPECT_EQ(reorderingCopy.feed(), 0);
    EXPECT_EQ(noneCopy.feed(), -1);

    CountingReceiver target;
    target.changeImpl(RTP_RECEIVER_UDP);
    passThrough.changeImpl(RTP_RECEIVER_TCP);
    target = passThrough;
    EXPECT_EQ(target.feed(), 1);
    CountingReceiver& self = target;
    target = self;
    EXPECT_EQ(target.feed(), 1);
    target = reordering;
    EXPECT_EQ(target.feed(), 0);
    EXPECT_EQ(liveReceiverImplCount(), before + 4);
    target = none;
    EXPECT_EQ(target.feed(), -1);
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
  }
  EXPECT_EQ(liveReceiverImplCount(), before);
}

}  // namespace
