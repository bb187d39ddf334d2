#include "session/udp_media.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <rtsppull/port_founder.h>

namespace {

const unsigned int kPortLimit = 60000;

// A non-blocking UDP socket bound to `address`:`port` with the large receive
// buffer; -1 when the port cannot be bound.
int bindDatagramSocket(in_addr_t address, unsigned int port, int& granted) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  int size = UdpMediaPair::kReceiveBuffer;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  socklen_t length = sizeof granted;
  granted = 0;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
  // Above net.core.rmem_max only a privileged process gets the size asked
  // for; the attempt fails harmlessly otherwise.
  if (granted < UdpMediaPair::kReceiveBuffer) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    length = sizeof granted;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
  }
  return fd;
}

}  // namespace

bool parseIpv4(const std::string& text, in_addr_t& address) {
  in_addr parsed;
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

UdpMediaPair::~UdpMediaPair() { close(); }

bool UdpMediaPair::open(const std::string& localAddress, unsigned int firstPort,
                        std::string& detail) {
  close();
  in_addr_t address = htonl(INADDR_ANY);
  if (!localAddress.empty() && !parseIpv4(localAddress, address)) {
    detail = "no IPv4 address to bind the UDP ports to: " + localAddress;
    return false;
  }
  unsigned int port = firstPort == 0 ? CZudezPortFounder::execute() : (firstPort + 1u) & ~1u;
  for (; port + 1 < kPortLimit; port += 2) {
    int granted = 0, ignored = 0;
    const int rtp = bindDatagramSocket(address, port, granted);
    if (rtp < 0) continue;
    const int rtcp = bindDatagramSocket(address, port + 1, ignored);
    if (rtcp < 0) {
      ::close(rtp);
      continue;
    }
    rtpFd_ = rtp;
    rtcpFd_ = rtcp;
    rtpPort_ = static_cast<std::uint16_t>(port);
    grantedBuffer_ = granted;
    return true;
  }
  detail = "no free even/odd UDP port pair from " + std::to_string(firstPort);
  return false;
}

void UdpMediaPair::close() {
  if (rtpFd_ >= 0) ::close(rtpFd_);
  if (rtcpFd_ >= 0) ::close(rtcpFd_);
  rtpFd_ = rtcpFd_ = -1;
  rtpPort_ = 0;
  grantedBuffer_ = 0;
}

bool UdpSourceFilter::accepts(const sockaddr_in& from) const {
  if (!set_ || from.sin_family != AF_INET) return false;
  if (from.sin_addr.s_addr != address_ && (other_ == 0 || from.sin_addr.s_addr != other_)) {
    return false;
  }
  return ports_.empty() ||
         std::find(ports_.begin(), ports_.end(), ntohs(from.sin_port)) != ports_.end();
}

UdpBatchReceiver::UdpBatchReceiver(std::size_t batch)
    : batch_(std::max<std::size_t>(batch, 1)),
      buffers_(new char[batch_ * kDatagramCapacity]),
      messages_(batch_),
      vectors_(batch_),
      sources_(batch_) {
  // Set once: a receive changes only each message's length and its
  // source's length, and the latter is put back before every call.
  for (std::size_t i = 0; i < batch_; ++i) {
    vectors_[i].iov_base = buffers_.get() + i * kDatagramCapacity;
    vectors_[i].iov_len = kDatagramCapacity;
    std::memset(&messages_[i], 0, sizeof messages_[i]);
    messages_[i].msg_hdr.msg_iov = &vectors_[i];
    messages_[i].msg_hdr.msg_iovlen = 1;
    messages_[i].msg_hdr.msg_name = &sources_[i];
  }
}

UdpBatchReceiver::Outcome UdpBatchReceiver::receive(
    int fd, const UdpSourceFilter& filter,
    const std::function<bool(const char*, std::size_t)>& deliver, std::uint64_t& ignored,
    int maxCalls) {
  Outcome outcome;
  for (int call = 0; call < maxCalls; ++call) {
    for (std::size_t i = 0; i < batch_; ++i) messages_[i].msg_hdr.msg_namelen = sizeof sources_[i];
    const int count =
        ::recvmmsg(fd, messages_.data(), static_cast<unsigned int>(batch_), MSG_DONTWAIT, nullptr);
    if (count < 0) {
      // An ICMP error left by an earlier send is no reason to stop reading.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) {
        // After an error report the socket may still hold datagrams.
        outcome.drained = errno == EAGAIN || errno == EWOULDBLOCK;
        return outcome;
      }
      outcome.delivered = -1;
      return outcome;
    }
    for (int i = 0; i < count; ++i) {
      const std::size_t index = static_cast<std::size_t>(i);
      ++outcome.datagrams;
      outcome.bytes += messages_[index].msg_len;
      if (!filter.accepts(sources_[index])) {
        ++ignored;
        continue;
      }
      ++outcome.delivered;
      if (!deliver(buffers_.get() + index * kDatagramCapacity, messages_[index].msg_len)) {
        return outcome;
      }
    }
    // A short batch: the socket had no more when the call returned.
    if (static_cast<std::size_t>(count) < batch_) {
      outcome.drained = true;
      return outcome;
    }
  }
  return outcome;
}
