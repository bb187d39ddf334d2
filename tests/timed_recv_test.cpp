// recvExactTimed keeps the contract of ACE's timed recv_n: each scenario is
// played once against ACE::recv_n and once against recvExactTimed, and both
// must give the same result, byte count, bytes and errno. On top of that it
// must leave the socket's blocking mode alone.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <ace/ACE.h>
#include <gtest/gtest.h>

#include "session/timed_recv.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
  ssize_t result = 0;
  std::size_t transferred = 0;
  std::string bytes;
  int error = 0;  // errno, looked at only when result is -1
  long elapsedMs = 0;
};

// One step of the peer: wait, then send bytes, or close / shut down.
struct Step {
  int pauseMs;
  std::string send;
  bool close;
};

struct Scenario {
  const char* name;
  std::size_t want;
  int timeoutMs;
  std::vector<Step> peer;
  ssize_t result;
  std::size_t transferred;
  int error;
  long minMs;  // lower bound on the time the call took
};

// Keeps test listings readable: a scenario prints as its name.
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

using Reader = std::function<ssize_t(int, char*, std::size_t, const ACE_Time_Value&, std::size_t&)>;

Outcome play(const Scenario& s, const Reader& read, bool nonBlocking) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  if (nonBlocking) ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  const int flagsBefore = ::fcntl(fds[0], F_GETFL);
  std::thread peer([&s, fd = fds[1]] {
    for (const Step& step : s.peer) {
      std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
      if (step.close) {
        ::shutdown(fd, SHUT_RDWR);
        return;
      }
      EXPECT_EQ(::send(fd, step.send.data(), step.send.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(step.send.size()));
    }
  });
  std::string buf(s.want + 1, '\0');
  Outcome out;
  const ACE_Time_Value timeout(0, s.timeoutMs * 1000);
  const auto start = Clock::now();
  errno = 0;
  out.result = read(fds[0], &buf[0], s.want, timeout, out.transferred);
  out.error = out.result == -1 ? errno : 0;
  out.elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  out.bytes = buf.substr(0, out.transferred);
  EXPECT_EQ(::fcntl(fds[0], F_GETFL), flagsBefore) << "blocking mode changed";
  peer.join();
  ::close(fds[0]);
  ::close(fds[1]);
  return out;
}

ssize_t aceRead(int h, char* b, std::size_t n, const ACE_Time_Value& t, std::size_t& got) {
  return ACE::recv_n(h, b, n, &t, &got);
}

ssize_t ourRead(int h, char* b, std::size_t n, const ACE_Time_Value& t, std::size_t& got) {
  return recvExactTimed(h, b, n, t, got);
}

const Scenario kScenarios[] = {
    {"AlreadyThere", 5, 1000, {{0, "hello", false}}, 5, 5, 0, 0},
    {"MoreThanWantedStaysInSocket", 3, 1000, {{0, "hello", false}}, 3, 3, 0, 0},
    {"ArrivesInPieces",
     6,
     1000,
     {{30, "ab", false}, {30, "c", false}, {30, "def", false}},
     6,
     6,
     0,
     60},
    // Each wait may last the full timeout: five gaps of 150 ms with a 400 ms
    // timeout take longer than the timeout in all, and still succeed.
    {"TimeoutIsPerWait",
     5,
     400,
     {{150, "1", false},
      {150, "2", false},
      {150, "3", false},
      {150, "4", false},
      {150, "5", false}},
     5,
     5,
     0,
     600},
    {"SilenceTimesOut", 4, 200, {}, -1, 0, ETIME, 190},
    {"SilenceAfterPartTimesOut", 4, 200, {{0, "ab", false}}, -1, 2, ETIME, 190},
    {"PeerClosesFirst", 4, 1000, {{0, "ab", false}, {20, "", true}}, 0, 2, 0, 0},
    {"PeerClosedBeforeAnyByte", 4, 1000, {{0, "", true}}, 0, 0, 0, 0},
    {"ZeroBytesWanted", 0, 1000, {}, 0, 0, 0, 0},
};

class TimedRecv : public ::testing::TestWithParam<std::tuple<Scenario, bool>> {};

TEST_P(TimedRecv, SameOutcomeAsAce) {
  const Scenario& s = std::get<0>(GetParam());
  const bool nonBlocking = std::get<1>(GetParam());
  const Outcome ace = play(s, aceRead, nonBlocking);
  const Outcome ours = play(s, ourRead, nonBlocking);
  for (const Outcome* o : {&ace, &ours}) {
    SCOPED_TRACE(o == &ace ? "ACE::recv_n" : "recvExactTimed");
    EXPECT_EQ(o->result, s.result);
    EXPECT_EQ(o->transferred, s.transferred);
    EXPECT_EQ(o->error, s.error);
    EXPECT_GE(o->elapsedMs, s.minMs);
  }
  EXPECT_EQ(ours.bytes, ace.bytes);
  EXPECT_EQ(ours.error, ace.error);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, TimedRecv,
                         ::testing::Combine(::testing::ValuesIn(kScenarios), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<TimedRecv::ParamType>& p) {
                           return std::string(std::get<0>(p.param).name) +
                                  (std::get<1>(p.param) ? "_NonBlocking" : "_Blocking");
                         });

// The host thread ends a session by shutting the socket down while the
// receive thread waits in this call: the wait must end at once, not after the
// timeout.
TEST(TimedRecvShutdown, ShutdownFromAnotherThreadEndsTheWait) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::thread stopper([fd = fds[0]] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::shutdown(fd, SHUT_RDWR);
  });
  char buf[4];
  std::size_t got = 99;
  const auto start = Clock::now();
  const ssize_t result = recvExactTimed(fds[0], buf, sizeof buf, ACE_Time_Value(20), got);
  const auto took = Clock::now() - start;
  stopper.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(got, 0u);
  EXPECT_LT(took, std::chrono::seconds(5));
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(TimedRecvShutdown, ClosedHandleFails) {
  char buf[4];
  std::size_t got = 99;
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(recvExactTimed(fds[0], buf, sizeof buf, ACE_Time_Value(1), got), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(got, 0u);
}

}  // namespace
