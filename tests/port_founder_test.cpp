#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <string>

namespace {

// A UDP socket bound to `port` (0: any free port) on all local addresses
// while the object lives.
class HeldPort {
 public:
  explicit HeldPort(unsigned short port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~HeldPort() { close(fd_); }
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_;
};

long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                       std::filesystem::directory_iterator());
}

// The first pair is taken unless the test holds a port of it; a pair is
// skipped as a whole when either port is taken; probing closes its sockets.
TEST(PortFounder, ReturnsTheFirstFreePairAndReleasesIt) {
  // The outcome is predictable only while no other program holds the first
  // pairs; the test then takes ports itself.
  for (unsigned short port = 30000; port < 30004; ++port) {
    if (!HeldPort(port).bound()) GTEST_SKIP() << port << " in use";
  }
  const struct {
    unsigned short held, alsoHeld;
    unsigned short expected;  // 0: some even port from 30004 on
  } cases[] = {
      {0, 0, 30000}, {30000, 0, 30002}, {30001, 0, 30002}, {30003, 0, 30000}, {30000, 30003, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("holding " + std::to_string(c.held) + " and " + std::to_string(c.alsoHeld));
    HeldPort first(c.held), second(c.alsoHeld);
    ASSERT_TRUE(first.bound() && second.bound());
    const long descriptors = openDescriptors();
    const unsigned short result = CZudezPortFounder::execute();
    EXPECT_EQ(openDescriptors(), descriptors);
    if (c.expected != 0) {
      EXPECT_EQ(result, c.expected);
    } else {
      EXPECT_GE(result, 30004);
      EXPECT_EQ(result % 2, 0);
      EXPECT_LT(result, CZudezPortFounder::kNoPortPair);
    }
    EXPECT_TRUE(HeldPort(result).bound() &&
                HeldPort(static_cast<unsigned short>(result + 1)).bound());
  }
}

}  // namespace
