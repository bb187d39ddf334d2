#include <rtsppull/port_founder.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// A UDP socket bound to `port` on all local addresses for as long as the
// object lives; bound() is false when something else holds the port.
class HeldPort {
 public:
  explicit HeldPort(unsigned short port) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~HeldPort() {
    if (fd_ >= 0) close(fd_);
  }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

// True when `port` can be bound right now (nothing else holds it).
bool isFree(unsigned short port) { return HeldPort(port).bound(); }

int openDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// The first pairs must be free of other programs for the outcome to be
// predictable; the tests then take ports themselves.
void requireFreePairs() {
  for (unsigned short port = 30000; port < 30004; ++port) {
    if (!isFree(port)) GTEST_SKIP() << "port " << port << " is in use";
  }
}

TEST(PortFounder, FirstPairWhenAllAreFree) {
  requireFreePairs();
  if (IsSkipped()) return;
  EXPECT_EQ(CZudezPortFounder::execute(), 30000);
  // Only probed: both ports can be bound again afterwards.
  EXPECT_TRUE(isFree(30000));
  EXPECT_TRUE(isFree(30001));
}

TEST(PortFounder, PairIsSkippedAsAWholeWhenEitherPortIsTaken) {
  requireFreePairs();
  if (IsSkipped()) return;
  const unsigned short heldPorts[] = {30000, 30001, 30002, 30003};
  for (unsigned short held : heldPorts) {
    SCOPED_TRACE("holding port " + std::to_string(held));
    HeldPort taken(held);
    ASSERT_TRUE(taken.bound());
    const unsigned short expected = held < 30002 ? 30002 : 30000;
    EXPECT_EQ(CZudezPortFounder::execute(), expected);
  }
  {
    SCOPED_TRACE("holding 30000 and 30003");
    HeldPort first(30000);
    HeldPort second(30003);
    ASSERT_TRUE(first.bound() && second.bound());
    const unsigned short result = CZudezPortFounder::execute();
    EXPECT_GE(result, 30004);
    EXPECT_EQ(result % 2, 0);
    EXPECT_LT(result, CZudezPortFounder::kNoPortPair);
  }
}

TEST(PortFounder, LeavesNoSocketOpen) {
  const int before = openDescriptorCount();
  ASSERT_GT(before, 0);
  const unsigned short result = CZudezPortFounder::execute();
  EXPECT_EQ(openDescriptorCount(), before);
  if (result != CZudezPortFounder::kNoPortPair) {
    EXPECT_EQ(result % 2, 0);
    EXPECT_GE(result, 30000);
    EXPECT_LE(result, 59998);
  }
}

}  // namespace
