// The local UDP port finder: an even port from 30000 on whose odd neighbour
// is free too. The test occupies one port of the pair just picked, on
// 127.0.0.1 only, and holds it for a moment.
#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include "support/loopback.h"

namespace {

// With either port of the picked pair taken, the finder moves on to another
// even port. Other programs may take ports meanwhile: a few tries each.
TEST(PortFounder, SkipsAPairWithEitherPortTaken) {
  for (const unsigned offset : {0u, 1u}) {
    bool taken = false;
    for (int attempt = 0; attempt < 5 && !taken; ++attempt) {
      const unsigned picked = CZudezPortFounder::execute();
      if (picked == CZudezPortFounder::kNoPortPair) GTEST_SKIP() << "no free UDP port pair";
      EXPECT_EQ(picked % 2, 0u) << "picked " << picked;
      EXPECT_GE(picked, 30000u) << "picked " << picked;
      const Datagram holder(picked + offset);  // without address reuse
      taken = holder.port == picked + offset;
      if (!taken) continue;
      const unsigned next = CZudezPortFounder::execute();
      EXPECT_NE(next, picked) << "with port " << picked + offset << " taken";
      EXPECT_EQ(next % 2, 0u) << "with port " << picked + offset << " taken";
    }
    EXPECT_TRUE(taken) << "could not occupy port " << offset << " of the picked pair";
  }
}

}  // namespace
