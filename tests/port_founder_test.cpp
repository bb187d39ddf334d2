// The local UDP port finder: an even port from 30000 on whose odd neighbour
// is free too. The test occupies one port of the pair just picked, on
// 127.0.0.1 only, and holds it for a moment.
#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include "support/loopback.h"

namespace {

// A UDP socket bound to 127.0.0.1:port without address reuse, or -1 when the
// port is taken.
int bindLoopbackUdp(unsigned port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in addr = Datagram::loopback(port);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// With either port of the picked pair taken, the finder moves on to another
// even port. Other programs may take ports meanwhile: a few tries each.
TEST(PortFounder, SkipsAPairWithEitherPortTaken) {
  for (const unsigned offset : {0u, 1u}) {
    int taken = -1;
    for (int attempt = 0; attempt < 5 && taken < 0; ++attempt) {
      const unsigned picked = CZudezPortFounder::execute();
      if (picked == CZudezPortFounder::kNoPortPair) GTEST_SKIP() << "no free UDP port pair";
      EXPECT_EQ(picked % 2, 0u) << "picked " << picked;
      EXPECT_GE(picked, 30000u) << "picked " << picked;
      taken = bindLoopbackUdp(picked + offset);
      if (taken < 0) continue;
      const unsigned next = CZudezPortFounder::execute();
      ::close(taken);
      EXPECT_NE(next, picked) << "with port " << picked + offset << " taken";
      EXPECT_EQ(next % 2, 0u) << "with port " << picked + offset << " taken";
    }
    EXPECT_GE(taken, 0) << "could not occupy port " << offset << " of the picked pair";
  }
}

}  // namespace
