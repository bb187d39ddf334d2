#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A UDP socket bound to `port` on all local addresses while the object lives.
class HeldPort {
 public:
  explicit HeldPort(unsigned short port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~HeldPort() { close(fd_); }
  int fd_;
  bool bound_;
};

// A pair is skipped as a whole when either of its ports is taken.
TEST(PortFounder, SkipsAPairWithATakenPort) {
  for (unsigned short port = 30000; port < 30004; ++port) {
    if (!HeldPort(port).bound_) GTEST_SKIP() << port << " in use by another program";
  }
  HeldPort held(30001);
  ASSERT_TRUE(held.bound_);
  EXPECT_EQ(CZudezPortFounder::execute(), 30002);
}

}  // namespace
