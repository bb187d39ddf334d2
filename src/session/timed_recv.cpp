#include "session/timed_recv.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

ssize_t recvExactTimed(ACE_HANDLE handle, char* buf, std::size_t len, const ACE_Time_Value& timeout,
                       std::size_t& transferred) {
  transferred = 0;
  while (transferred < len) {
    const ssize_t n = ::recv(handle, buf + transferred, len - transferred, MSG_DONTWAIT);
    if (n > 0) {
      transferred += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return 0;
    // A signal handled by the host is no failure of the connection.
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK && errno != EAGAIN && errno != ENOBUFS) return -1;
    // Nothing there yet: wait up to the full timeout for more. A hang-up or
    // an error also ends the wait; the next recv then reports it. The
    // timeout is converted only here: a read whose data is already there
    // (nearly every read of a stream) never needs it.
    const long ms = timeout.msec();
    const int waitMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms < 0 ? 0 : ms);
    pollfd wanted{handle, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&wanted, 1, waitMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      errno = ETIME;
      return -1;
    }
    if (ready < 0) return -1;
  }
  return static_cast<ssize_t>(transferred);
}
