// Allocation failures in the reordering receiver and the objects that
// IRTPReceiver::changeImpl creates, observed through a replaced global
// operator new (hence an executable of its own).
// GCC inlines the replaced operators below into their callers and then sees
// malloc-backed blocks released by free through "operator delete": that is
// exactly the pairing intended here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "reorder_test_util.h"

namespace {
// Calls of the ordinary operator new so far.
std::atomic<long> newCalls{0};
// While positive, each operator new call decrements it; the call that
// brings it to zero throws std::bad_alloc.
std::atomic<int> throwOnNthNew{0};
// While set, nothrow array allocations of 5000 bytes and more (the
// Boost.Pool default allocator's blocks) return null.
std::atomic<bool> failBigNothrowArrays{false};

void* allocate(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }
}  // namespace

// Every ordinary form is replaced and backed by malloc/free, so any block is
// released by a matching form, with or without sanitizers.
void* operator new(std::size_t size) {
  newCalls.fetch_add(1);
  int n = throwOnNthNew.load();
  while (n > 0 && !throwOnNthNew.compare_exchange_weak(n, n - 1)) {
  }
  void* p = n == 1 ? nullptr : allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  void* p = allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return failBigNothrowArrays && size >= 5000 ? nullptr : allocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace reorder_test;

namespace {

// Files `packet`; with `failPool` the pool can get no new block meanwhile.
bool Execute(TestableUDP& udp, RecordingReceiver& host, const std::string& packet,
             bool failPool = false) {
  failBigNothrowArrays = failPool;
  const bool ok = udp.Execute(&host, packet, false, nullptr);
  failBigNothrowArrays = false;
  return ok;
}

}  // namespace

// The pool's allocator reports failure with a null block, on the first
// packet or once the first block is in use: the packet is refused with
// false, nothing is buffered, what was buffered stays, and the receiver
// works on once memory is back.
TEST(ReorderAlloc, PoolWithoutBufferRefusesThePacket) {
  TestableUDP udp(2);
  RecordingReceiver host;
  EXPECT_FALSE(Execute(udp, host, Packet(1, 1, false, Start::kC0, 1400, 9), true));
  const std::string first = Packet(1, 1, false, Start::kC0);
  EXPECT_TRUE(Execute(udp, host, first));
  EXPECT_TRUE(Execute(udp, host, Packet(2, 1, false)));
  EXPECT_FALSE(Execute(udp, host, Packet(3, 1, true), true));
  EXPECT_TRUE(host.calls.empty());
  EXPECT_TRUE(Execute(udp, host, Packet(3, 1, true)));
  EXPECT_EQ(host.seqs(), (Seqs{1, 2, 3}));
  EXPECT_EQ(host.calls[0].data, first);
}

// A throwing allocation of the count (1st) or of the map node (2nd) while a
// packet is filed: false, the packet is not buffered, the map is unchanged.
TEST(ReorderAlloc, ThrowingSmallAllocationsRefuseThePacket) {
  for (int nth : {1, 2}) {
    SCOPED_TRACE(nth);
    TestableUDP udp(16);
    RecordingReceiver host;
    host.calls.reserve(16);
    EXPECT_TRUE(Execute(udp, host, Packet(1, 1, false, Start::kC0)));
    const std::string last = Packet(2, 1, true);
    throwOnNthNew = nth;
    EXPECT_FALSE(Execute(udp, host, last));
    EXPECT_EQ(throwOnNthNew.load(), 0);
    throwOnNthNew = 0;
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(Execute(udp, host, last));
    EXPECT_EQ(host.seqs(), (Seqs{1, 2}));
  }
}

// Installing the type already installed creates nothing and keeps the
// reordering object with its packets; switching away drops them undelivered.
TEST(ChangeImplObjects, SameTypeKeepsTheObjectAnotherReplacesIt) {
  for (int t : {100, 101}) {
    RecordingReceiver r;
    r.changeImpl(static_cast<RTP_RECEIVER_IMPL>(t));
    const long before = newCalls.load();
    for (int i = 0; i < 10; ++i) r.changeImpl(static_cast<RTP_RECEIVER_IMPL>(t));
    EXPECT_EQ(newCalls.load(), before) << t;
  }
  RecordingReceiver r;
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(1, 5, false, Start::kC0), false, nullptr));
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(2, 5, true), false, nullptr));
  EXPECT_EQ(r.seqs(), (Seqs{1, 2}));
  r.calls.clear();
  EXPECT_TRUE(r.Execute(Packet(3, 6, false, Start::kC0), false, nullptr));
  r.changeImpl(RTP_RECEIVER_TCP);
  r.changeImpl(RTP_RECEIVER_UDP);
  EXPECT_TRUE(r.Execute(Packet(4, 6, true), false, nullptr));
  EXPECT_TRUE(r.calls.empty());  // 4 alone is no frame: 3 is gone
}

// The old implementation is destroyed before the new one is created, so a
// failing creation leaves the receiver without one.
TEST(ChangeImplObjects, FailedCreationLeavesNone) {
  RecordingReceiver r;
  r.changeImpl(RTP_RECEIVER_UDP);
  throwOnNthNew = 1;
  EXPECT_THROW(r.changeImpl(RTP_RECEIVER_TCP), std::bad_alloc);
  throwOnNthNew = 0;
  EXPECT_FALSE(r.Execute(Packet(1, 1, true, Start::kC0), false, nullptr));
  EXPECT_TRUE(r.calls.empty());
}
