// The local UDP port finder: an even port whose odd neighbour is free too.
// The finder's candidates are fixed (30000 and up, on all addresses); the
// test occupies ports on 127.0.0.1 only, one of the pair the finder has just
// picked, and holds them for a moment.
#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A UDP socket bound to 127.0.0.1:port without address reuse, or -1 when the
// port is taken.
int bindLoopbackUdp(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

bool isEvenCandidate(unsigned short port) {
  return port >= 30000 && port <= 59998 && port % 2 == 0;
}

// With either port of the picked pair taken, the finder moves to another
// even port. Other programs may take ports meanwhile: a few tries each.
TEST(PortFounder, SkipsAPairWithEitherPortTaken) {
  for (const int offset : {0, 1}) {
    SCOPED_TRACE(offset == 0 ? "even port taken" : "odd port taken");
    int taken = -1;
    for (int attempt = 0; attempt < 5 && taken < 0; ++attempt) {
      const unsigned short picked = CZudezPortFounder::execute();
      if (picked == CZudezPortFounder::kNoPortPair) GTEST_SKIP() << "no free UDP port pair";
      ASSERT_TRUE(isEvenCandidate(picked)) << picked;
      taken = bindLoopbackUdp(static_cast<unsigned short>(picked + offset));
      if (taken < 0) continue;
      const unsigned short next = CZudezPortFounder::execute();
      ::close(taken);
      EXPECT_NE(next, picked);
      EXPECT_TRUE(next == CZudezPortFounder::kNoPortPair || isEvenCandidate(next)) << next;
    }
    EXPECT_GE(taken, 0) << "could not occupy a port of the picked pair";
  }
}

}  // namespace
