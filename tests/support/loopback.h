// A listening TCP socket on 127.0.0.1 with an ephemeral port, for the session
// tests and the client fuzz target.
#ifndef RTSPPULL_TESTS_SUPPORT_LOOPBACK_H_
#define RTSPPULL_TESTS_SUPPORT_LOOPBACK_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The listening descriptor and its port (0 when the socket could not be set
// up). Accepts, and reads on the connections accepted, give up after 40 s
// (beyond the 20 s receive timeout of a session).
inline int listenLoopback(unsigned& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const timeval wait{40, 0};
  const bool ok = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
                  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                  ::listen(fd, 8) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  port = ok ? ntohs(addr.sin_port) : 0;
  return fd;
}

#endif  // RTSPPULL_TESTS_SUPPORT_LOOPBACK_H_
