// The UDP side of a session: the RTP/RTCP socket pair, the filter on the
// sender's address, and batched reception.
//
// Threads: open() and close() run on the host thread, close() only while no
// receive thread uses the sockets (after the join). The receive thread uses
// the descriptors, UdpSourceFilter and UdpBatchReceiver in between.
#ifndef RTSPPULL_SESSION_UDP_MEDIA_H_
#define RTSPPULL_SESSION_UDP_MEDIA_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// RTP on an even local port p, RTCP on p + 1, both bound and kept from open()
// to close(), so that no other process can take a port between the search and
// the SETUP. Non-blocking, close-on-exec.
class UdpMediaPair {
 public:
  // Receive buffer asked for on each socket: room for a burst of a 20 Mbit/s
  // stream while the receive thread is held up.
  static const int kReceiveBuffer = 2 * 1024 * 1024;

  UdpMediaPair() = default;
  ~UdpMediaPair();
  UdpMediaPair(const UdpMediaPair&) = delete;
  UdpMediaPair& operator=(const UdpMediaPair&) = delete;

  // Binds both sockets on `localAddress` (dotted IPv4; empty: every local
  // address), trying even ports from `firstPort` upward (rounded up to even;
  // 0: from the pair that CZudezPortFounder reports) below 60000. Closes any
  // pair held before. False with `detail` when no pair can be bound.
  bool open(const std::string& localAddress, unsigned int firstPort, std::string& detail);
  // Closes both sockets; harmless when closed.
  void close();

  bool isOpen() const { return rtpFd_ >= 0; }
  std::uint16_t rtpPort() const { return rtpPort_; }
  std::uint16_t rtcpPort() const { return static_cast<std::uint16_t>(rtpPort_ + 1u); }
  int rtpFd() const { return rtpFd_; }
  int rtcpFd() const { return rtcpFd_; }
  // SO_RCVBUF as the kernel reports it for the RTP socket after the request
  // (Linux counts its bookkeeping in, and caps it at net.core.rmem_max
  // unless the process may override that).
  int grantedReceiveBuffer() const { return grantedBuffer_; }

 private:
  int rtpFd_ = -1;
  int rtcpFd_ = -1;
  std::uint16_t rtpPort_ = 0;
  int grantedBuffer_ = 0;
};

// Accepts datagrams from one IPv4 address, and from given ports of it when
// the server named its ports. A default filter accepts nothing.
class UdpSourceFilter {
 public:
  UdpSourceFilter() = default;
  // `ports` empty: any port of `address` (network byte order).
  UdpSourceFilter(in_addr_t address, std::vector<std::uint16_t> ports)
      : set_(true), address_(address), ports_(std::move(ports)) {}

  // Datagrams from `address` (network byte order) are accepted too, from
  // the same ports.
  void alsoFrom(in_addr_t address) { other_ = address; }

  bool accepts(const sockaddr_in& from) const;

 private:
  bool set_ = false;
  in_addr_t address_ = 0;
  in_addr_t other_ = 0;               // 0: none
  std::vector<std::uint16_t> ports_;  // host byte order
};

// Takes up to `batch` datagrams per system call (recvmmsg) into buffers of
// 64 KiB each (pages that no datagram reached are never touched). 64 a call
// hold what a 20 Mbit/s stream brings in the receive thread's 30 ms rest
// (about 55 datagrams of 1,400 bytes) in one call.
class UdpBatchReceiver {
 public:
  explicit UdpBatchReceiver(std::size_t batch = 64);
  std::size_t batchSize() const { return batch_; }
  UdpBatchReceiver(const UdpBatchReceiver&) = delete;
  UdpBatchReceiver& operator=(const UdpBatchReceiver&) = delete;

  // What one receive() did.
  struct Outcome {
    long delivered = 0;    // datagrams handed to `deliver`; -1: a socket error (errno set)
    bool drained = false;  // it stopped because the socket held no more
    // Every datagram taken, accepted or not, and their bytes.
    std::size_t datagrams = 0;
    std::size_t bytes = 0;
  };

  // Reads the datagrams waiting on the non-blocking `fd` until none is left
  // (at most `maxCalls` system calls), hands each from an accepted source to
  // `deliver` in arrival order and counts the others in `ignored`. Stops
  // early when `deliver` returns false.
  Outcome receive(int fd, const UdpSourceFilter& filter,
                  const std::function<bool(const char*, std::size_t)>& deliver,
                  std::uint64_t& ignored, int maxCalls = 8);

 private:
  static const std::size_t kDatagramCapacity = 65536;
  std::size_t batch_;
  std::unique_ptr<char[]> buffers_;
  std::vector<struct mmsghdr> messages_;
  std::vector<struct iovec> vectors_;
  std::vector<sockaddr_in> sources_;
};

// Resolves a dotted IPv4 address; false for anything else.
bool parseIpv4(const std::string& text, in_addr_t& address);

#endif  // RTSPPULL_SESSION_UDP_MEDIA_H_
