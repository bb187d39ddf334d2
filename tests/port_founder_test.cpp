// The port finder skips a pair as a whole when either of its ports is taken.
// The only test that binds fixed ports (30000 and up).
#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

namespace {

struct HeldPort {  // a UDP socket bound to `port` on all local addresses
  explicit HeldPort(unsigned short port) : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~HeldPort() { close(fd); }
  int fd;
  bool bound;
};

TEST(PortFounder, SkipsAPairWithATakenPort) {
  for (unsigned short port = 30000; port < 30004; ++port) {
    if (!HeldPort(port).bound) GTEST_SKIP() << port << " in use by another program";
  }
  HeldPort held(30001);
  ASSERT_TRUE(held.bound);
  EXPECT_EQ(CZudezPortFounder::execute(), 30002);
}

}  // namespace
