// recvExactTimed keeps the contract of ACE's timed recv_n: each scenario is
// played once against ACE::recv_n and once against recvExactTimed, and both
// must give the same result, byte count, bytes and errno. On top of that it
// must leave the socket's blocking mode alone.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include <ace/ACE.h>
#include <gtest/gtest.h>

#include "session/timed_recv.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Scenario {
  const char* name;
  std::size_t want;
  int timeoutMs;
  // The peer's steps, blank-separated: "<ms>:<bytes>" waits, then sends the
  // bytes; "<ms>:!" waits, then shuts the connection down.
  const char* peer;
  ssize_t result;
  std::size_t transferred;
  int error;   // errno, looked at only when result is -1
  long minMs;  // lower bound on the time the call took
};

// Keeps test listings readable: a scenario prints as its name.
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// Plays `s` against `read`, checks the outcome and returns the bytes read.
template <typename Read>
std::string play(const Scenario& s, Read read, bool nonBlocking) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  if (nonBlocking) ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  const int flagsBefore = ::fcntl(fds[0], F_GETFL);
  std::thread peer([&s, fd = fds[1]] {
    std::istringstream steps(s.peer);
    std::string step;
    while (steps >> step) {
      const std::size_t colon = step.find(':');
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(step.substr(0, colon))));
      const std::string bytes = step.substr(colon + 1);
      if (bytes == "!") return (void)::shutdown(fd, SHUT_RDWR);
      EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(bytes.size()));
    }
  });
  std::string buf(s.want + 1, '\0');
  std::size_t transferred = 99;
  const auto start = Clock::now();
  errno = 0;
  const ssize_t result =
      read(fds[0], &buf[0], s.want, ACE_Time_Value(0, s.timeoutMs * 1000), transferred);
  const int error = result == -1 ? errno : 0;
  EXPECT_EQ(result, s.result);
  EXPECT_EQ(transferred, s.transferred);
  EXPECT_EQ(error, s.error);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(s.minMs));
  EXPECT_EQ(::fcntl(fds[0], F_GETFL), flagsBefore) << "blocking mode changed";
  peer.join();
  ::close(fds[0]);
  ::close(fds[1]);
  return buf.substr(0, transferred);
}

const Scenario kScenarios[] = {
    {"AlreadyThere", 5, 1000, "0:hello", 5, 5, 0, 0},
    {"MoreThanWantedStaysInSocket", 3, 1000, "0:hello", 3, 3, 0, 0},
    {"ArrivesInPieces", 6, 1000, "30:ab 30:c 30:def", 6, 6, 0, 60},
    // Each wait may last the full timeout: five gaps of 150 ms with a 400 ms
    // timeout take longer than the timeout in all, and still succeed.
    {"TimeoutIsPerWait", 5, 400, "150:1 150:2 150:3 150:4 150:5", 5, 5, 0, 600},
    {"SilenceTimesOut", 4, 200, "", -1, 0, ETIME, 190},
    {"SilenceAfterPartTimesOut", 4, 200, "0:ab", -1, 2, ETIME, 190},
    {"PeerClosesFirst", 4, 1000, "0:ab 20:!", 0, 2, 0, 0},
    {"PeerClosedBeforeAnyByte", 4, 1000, "0:!", 0, 0, 0, 0},
    {"ZeroBytesWanted", 0, 1000, "", 0, 0, 0, 0},
};

class TimedRecv : public ::testing::TestWithParam<std::tuple<Scenario, bool>> {};

TEST_P(TimedRecv, SameOutcomeAsAce) {
  const Scenario& s = std::get<0>(GetParam());
  const auto aceRead = [](int h, char* b, std::size_t n, const ACE_Time_Value& t,
                          std::size_t& got) { return ACE::recv_n(h, b, n, &t, &got); };
  std::string ace, ours;
  {
    SCOPED_TRACE("ACE::recv_n");
    ace = play(s, aceRead, std::get<1>(GetParam()));
  }
  ours = play(s, recvExactTimed, std::get<1>(GetParam()));
  EXPECT_EQ(ours, ace);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, TimedRecv,
                         ::testing::Combine(::testing::ValuesIn(kScenarios), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<TimedRecv::ParamType>& p) {
                           return std::string(std::get<0>(p.param).name) +
                                  (std::get<1>(p.param) ? "_NonBlocking" : "_Blocking");
                         });

}  // namespace
