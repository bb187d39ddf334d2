// The reordering receiver when its pool gets no memory block: an executable
// of its own, as it replaces the global nothrow operator new[].
#include <atomic>
#include <new>

#include <gtest/gtest.h>

#include "reorder_test_util.h"

namespace {
// While set, nothrow array allocations of 5000 bytes and more (the pool's
// blocks) return null.
std::atomic<bool> failPool{false};
}  // namespace

// Backed by the throwing form, so the default operator delete[] matches.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (failPool && size >= 5000) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

using namespace reorder_test;

// A packet that finds no buffer is refused; what was buffered stays, and the
// receiver works on once memory is back.
TEST(ReorderAlloc, PoolWithoutBufferRefusesThePacket) {
  TestableUDP udp(2);
  RecordingReceiver host;
  const auto file = [&](const std::string& p, bool fail) {
    failPool = fail;
    const bool ok = udp.Execute(&host, p, false, nullptr);
    failPool = false;
    return ok;
  };
  EXPECT_FALSE(file(Packet(1, 1, false, Start::kC0, 1400, 9), true));
  EXPECT_TRUE(file(Packet(1, 1, false, Start::kC0), false));
  EXPECT_TRUE(file(Packet(2, 1, false), false));
  EXPECT_FALSE(file(Packet(3, 1, true), true));
  EXPECT_TRUE(host.calls.empty());
  EXPECT_TRUE(file(Packet(3, 1, true), false));
  EXPECT_EQ(host.seqs(), (Seqs{1, 2, 3}));
  EXPECT_EQ(host.calls[0], Packet(1, 1, false, Start::kC0));
}
