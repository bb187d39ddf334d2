#include <rtsppull/rtp_receiver.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "rtp/impl_count.h"

namespace {

using ::testing::_;
using ::testing::Return;
using ::testing::Throw;

class MockReceiver : public IRTPReceiver {
 public:
  MOCK_METHOD(bool, OnRecvData,
              (const char* data, unsigned int length, bool isFileHeader, SDP* sdp), (override));
};

// Counts deliveries; copyable, unlike the mock.
class CountingReceiver : public IRTPReceiver {
 public:
  bool OnRecvData(const char*, unsigned int, bool, SDP*) override {
    ++calls;
    return true;
  }
  int calls = 0;
};

// An RTP packet on its own: the reordering implementation buffers it, the
// pass-through one delivers it at once. Tells the two apart from outside.
std::string rtpPacket() {
  std::string packet(12, '\0');
  packet[0] = '\x80';
  packet[1] = 96;
  packet[3] = 7;
  return packet + "payload";
}

TEST(RTPReceiver, WithoutImplementationRefusesAndDeliversNothing) {
  MockReceiver receiver;
  EXPECT_CALL(receiver, OnRecvData(_, _, _, _)).Times(0);
  SDP sdp;
  EXPECT_FALSE(receiver.Execute("data", true, &sdp));
  EXPECT_FALSE(receiver.Execute("", false, nullptr));
}

TEST(RTPReceiverOnTCP, NullReceiverIsRefused) {
  CRTPReceiverOnTCP* impl = new CRTPReceiverOnTCP;
  EXPECT_FALSE(impl->Execute(nullptr, "data", false, nullptr));
  EXPECT_EQ(impl->getImplType(), RTP_RECEIVER_TCP);
  EXPECT_EQ(static_cast<int>(RTP_RECEIVER_TCP), 101);
  EXPECT_EQ(static_cast<int>(RTP_RECEIVER_UDP), 100);
  impl->Destroy();
}

TEST(RTPReceiverOnTCP, ForwardsOnceUnchangedAndReturnsTheVerdict) {
  CRTPReceiverOnTCP* impl = new CRTPReceiverOnTCP;
  MockReceiver receiver;
  SDP sdp;
  const std::string data("a\0b", 3);
  const std::string empty;
  {
    ::testing::InSequence order;
    EXPECT_CALL(receiver, OnRecvData(data.c_str(), 3u, true, &sdp)).WillOnce(Return(true));
    EXPECT_CALL(receiver, OnRecvData(empty.c_str(), 0u, false, nullptr)).WillOnce(Return(false));
  }
  EXPECT_TRUE(impl->Execute(&receiver, data, true, &sdp));
  EXPECT_FALSE(impl->Execute(&receiver, empty, false, nullptr));
  impl->Destroy();
}

TEST(RTPReceiver, ExecuteForwardsThroughPassThroughWithItself) {
  MockReceiver receiver;
  receiver.changeImpl(RTP_RECEIVER_TCP);
  SDP sdp;
  const std::string header("\x00\x00\x00\x01", 4);
  EXPECT_CALL(receiver, OnRecvData(header.c_str(), 4u, true, &sdp)).WillOnce(Return(true));
  EXPECT_CALL(receiver, OnRecvData(_, 0u, false, nullptr)).WillOnce(Return(false));
  EXPECT_TRUE(receiver.Execute(header, true, &sdp));
  EXPECT_FALSE(receiver.Execute("", false, nullptr));
}

TEST(RTPReceiver, ExceptionsFromTheHostPassThrough) {
  MockReceiver receiver;
  receiver.changeImpl(RTP_RECEIVER_TCP);
  EXPECT_CALL(receiver, OnRecvData(_, _, _, _)).WillOnce(Throw(std::runtime_error("host failure")));
  EXPECT_THROW(receiver.Execute("x", false, nullptr), std::runtime_error);
}

TEST(RTPReceiver, DestroyingReceiverDestroysItsImplementation) {
  const long before = liveReceiverImplCount();
  {
    CountingReceiver receiver;
    receiver.changeImpl(RTP_RECEIVER_TCP);
    EXPECT_EQ(liveReceiverImplCount(), before + 1);
  }
  EXPECT_EQ(liveReceiverImplCount(), before);
}

TEST(RTPReceiverCopy, CopyGetsItsOwnImplementationOfTheSameType) {
  const long before = liveReceiverImplCount();
  {
    CountingReceiver passThrough;
    passThrough.changeImpl(RTP_RECEIVER_TCP);
    CountingReceiver reordering;
    reordering.changeImpl(RTP_RECEIVER_UDP);
    CountingReceiver none;
    ASSERT_EQ(liveReceiverImplCount(), before + 2);

    CountingReceiver* copy = new CountingReceiver(passThrough);
    CountingReceiver reorderingCopy(reordering);
    CountingReceiver noneCopy(none);
    EXPECT_EQ(liveReceiverImplCount(), before + 4);

    // The copy works on its own once the source is gone.
    passThrough.changeImpl(static_cast<RTP_RECEIVER_IMPL>(0));
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
    copy->calls = 0;
    EXPECT_TRUE(copy->Execute(rtpPacket(), false, nullptr));
    EXPECT_EQ(copy->calls, 1);
    delete copy;
    EXPECT_EQ(liveReceiverImplCount(), before + 2);

    // The reordering copy buffers the lone packet; no copy of none has one.
    EXPECT_TRUE(reorderingCopy.Execute(rtpPacket(), false, nullptr));
    EXPECT_EQ(reorderingCopy.calls, 0);
    EXPECT_FALSE(noneCopy.Execute(rtpPacket(), false, nullptr));
  }
  EXPECT_EQ(liveReceiverImplCount(), before);
}

TEST(RTPReceiverCopy, AssignmentReplacesTheImplementation) {
  const long before = liveReceiverImplCount();
  {
    CountingReceiver passThrough;
    passThrough.changeImpl(RTP_RECEIVER_TCP);
    CountingReceiver reordering;
    reordering.changeImpl(RTP_RECEIVER_UDP);
    CountingReceiver none;
    CountingReceiver target;
    target.changeImpl(RTP_RECEIVER_UDP);
    ASSERT_EQ(liveReceiverImplCount(), before + 3);

    // Each assignment also copies `calls`, so the count is reset after it.
    target = passThrough;
    target.calls = 0;
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
    EXPECT_TRUE(target.Execute(rtpPacket(), false, nullptr));
    EXPECT_EQ(target.calls, 1);

    CountingReceiver& self = target;
    target = self;  // self-assignment keeps everything
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
    EXPECT_TRUE(target.Execute(rtpPacket(), false, nullptr));
    EXPECT_EQ(target.calls, 2);

    target = reordering;
    target.calls = 0;
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
    EXPECT_TRUE(target.Execute(rtpPacket(), false, nullptr));
    EXPECT_EQ(target.calls, 0);

    target = none;
    EXPECT_EQ(liveReceiverImplCount(), before + 2);
    EXPECT_FALSE(target.Execute(rtpPacket(), false, nullptr));

    none = reordering;
    EXPECT_EQ(liveReceiverImplCount(), before + 3);
  }
  EXPECT_EQ(liveReceiverImplCount(), before);
}

}  // namespace
