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

// A UDP socket bound to 127.0.0.1:port (no address reuse), closed on
// destruction; bound() is false when the port was taken.
class LoopbackUdpPort {
 public:
  explicit LoopbackUdpPort(unsigned short port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~LoopbackUdpPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackUdpPort(const LoopbackUdpPort&) = delete;
  LoopbackUdpPort& operator=(const LoopbackUdpPort&) = delete;
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

bool isEvenCandidate(unsigned short port) {
  return port >= 30000 && port <= 59998 && port % 2 == 0;
}

// With either port of the picked pair taken, the finder moves to another
// even port whose pair it could bind. Other programs may take or free ports
// meanwhile, so a pair that cannot be occupied is tried again a few times.
TEST(PortFounder, SkipsAPairWithEitherPortTaken) {
  for (const int offset : {0, 1}) {
    SCOPED_TRACE(offset == 0 ? "even port taken" : "odd port taken");
    bool checked = false;
    for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
      const unsigned short picked = CZudezPortFounder::execute();
      if (picked == CZudezPortFounder::kNoPortPair) GTEST_SKIP() << "no free UDP port pair";
      ASSERT_TRUE(isEvenCandidate(picked)) << picked;
      const LoopbackUdpPort taken(static_cast<unsigned short>(picked + offset));
      if (!taken.bound()) continue;  // taken by someone else since
      const unsigned short next = CZudezPortFounder::execute();
      EXPECT_NE(next, picked);
      EXPECT_TRUE(next == CZudezPortFounder::kNoPortPair || isEvenCandidate(next)) << next;
      checked = true;
    }
    EXPECT_TRUE(checked) << "could not occupy a port of the picked pair";
  }
}

}  // namespace
