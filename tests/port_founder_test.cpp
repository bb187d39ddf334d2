#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

namespace {

// A UDP socket bound to `port` on all local addresses while the object lives.
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

// The outcome is predictable only while no other program holds the first
// pairs; the tests then take ports themselves.
#define REQUIRE_FIRST_PAIRS_FREE()                                  \
  for (unsigned short port = 30000; port < 30004; ++port) {         \
    if (!HeldPort(port).bound()) GTEST_SKIP() << port << " in use"; \
  }

TEST(PortFounder, ReturnsTheFirstPairAndOnlyProbesIt) {
  REQUIRE_FIRST_PAIRS_FREE();
  const auto openFds = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto before = openFds();
  EXPECT_EQ(CZudezPortFounder::execute(), 30000);
  EXPECT_EQ(openFds(), before);
  EXPECT_TRUE(HeldPort(30000).bound());
  EXPECT_TRUE(HeldPort(30001).bound());
}

TEST(PortFounder, SkipsAPairAsAWholeWhenEitherPortIsTaken) {
  REQUIRE_FIRST_PAIRS_FREE();
  struct Case {
    unsigned short held, alsoHeld;  // 0: none
    unsigned short expected;        // 0: some even port from 30004 on
  };
  const Case cases[] = {{30000, 0, 30002}, {30001, 0, 30002}, {30003, 0, 30000}, {30000, 30003, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("holding " + std::to_string(c.held) + " and " + std::to_string(c.alsoHeld));
    HeldPort first(c.held);
    std::optional<HeldPort> second;
    if (c.alsoHeld != 0) second.emplace(c.alsoHeld);
    ASSERT_TRUE(first.bound() && (!second || second->bound()));
    const unsigned short result = CZudezPortFounder::execute();
    if (c.expected != 0) {
      EXPECT_EQ(result, c.expected);
    } else {
      EXPECT_GE(result, 30004);
      EXPECT_EQ(result % 2, 0);
      EXPECT_LT(result, CZudezPortFounder::kNoPortPair);
    }
  }
}

}  // namespace
