// A listening TCP socket on 127.0.0.1 with an ephemeral port, for the session
// tests and the client fuzz target, and a datagram socket there.
#ifndef RTSPPULL_TESTS_SUPPORT_LOOPBACK_H_
#define RTSPPULL_TESTS_SUPPORT_LOOPBACK_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

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

// A datagram socket on 127.0.0.1 with an ephemeral port, or with `wanted`
// (port 0 when that is taken).
struct Datagram {
  static sockaddr_in loopback(unsigned port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
  }
  explicit Datagram(unsigned wanted = 0) : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local = loopback(wanted);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  ~Datagram() { ::close(fd); }
  void sendTo(unsigned toPort, const std::string& data) const {
    const sockaddr_in peer = loopback(toPort);
    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
             sizeof peer);
  }
  // The next datagram to arrive within `ms`, or "".
  std::string receive(int ms) const {
    pollfd p{fd, POLLIN, 0};
    char buf[2048];
    const ssize_t n = ::poll(&p, 1, ms) > 0 ? ::recv(fd, buf, sizeof buf, 0) : 0;
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  int fd;
  unsigned port;
};

#endif  // RTSPPULL_TESTS_SUPPORT_LOOPBACK_H_
