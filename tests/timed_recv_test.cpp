// recvExactTimed: each wait may last the whole timeout, a silent or closing
// peer ends it with the bytes so far, and the socket's mode is left alone.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "session/timed_recv.h"

TEST(TimedRecv, PerWaitTimeoutAndPeerClose) {
  for (const int mode : {0, O_NONBLOCK}) {
    for (const bool peerCloses : {false, true}) {
      SCOPED_TRACE(std::string(mode ? "non-blocking" : "blocking") +
                   (peerCloses ? ", closes" : ""));
      int fds[2];
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
      ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | mode);
      const int flagsBefore = ::fcntl(fds[0], F_GETFL);
      std::thread peer([&] {
        for (const char* c : {"a", "b", "c", "d", "e"}) {
          std::this_thread::sleep_for(std::chrono::milliseconds(150));
          ::send(fds[1], c, 1, MSG_NOSIGNAL);
        }
        if (peerCloses) ::shutdown(fds[1], SHUT_RDWR);
      });
      const ACE_Time_Value timeout(0, 250000);
      char buf[8] = {};
      std::size_t transferred = 99;
      // Four gaps of 150 ms take longer than the timeout in all, and succeed.
      EXPECT_EQ(recvExactTimed(fds[0], buf, 4, timeout, transferred), 4);
      EXPECT_EQ(transferred, 4u);
      errno = 0;
      EXPECT_EQ(recvExactTimed(fds[0], buf + 4, 2, timeout, transferred), peerCloses ? 0 : -1);
      EXPECT_TRUE(peerCloses || errno == ETIME) << errno;
      EXPECT_EQ(transferred, 1u);
      EXPECT_STREQ(buf, "abcde");
      peer.join();
      EXPECT_EQ(::fcntl(fds[0], F_GETFL), flagsBefore);
      for (const int fd : fds) ::close(fd);
    }
  }
}
