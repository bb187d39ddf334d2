// In-process loopback RTSP server for the load and soak programs.
//
// One event-loop thread accepts on 127.0.0.1 (ephemeral port), answers
// OPTIONS, DESCRIBE, SETUP and PLAY on every connection, and closes a
// connection once its client has closed it (after TEARDOWN). What happens
// after PLAY depends on the options:
//   - streaming: a pacer thread sends RTP packets of `packetSize` bytes as
//     interleaved "$" frames on channel 0 at `bitsPerSecond` per connection,
//     in 10 ms slots, until stopPacing(); with `frameMs` set, each
//     connection's packets leave in one burst per frame interval, counted
//     from its own PLAY, the way a camera sends a video frame (so the
//     bursts of many connections are spread over the interval);
//   - otherwise: `framesAfterPlay` small frames right after the PLAY reply,
//     then nothing.
//
// Every streamed packet carries its connection number (as SSRC and in the
// payload) and its packet index (in the payload, at the start and at the
// end), so a receiver can check that it got every packet, in order, whole.
#ifndef RTSPPULL_BENCH_SOAK_SERVER_H_
#define RTSPPULL_BENCH_SOAK_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace soak {

struct ServerOptions {
  bool stream = false;
  double bitsPerSecond = 2e6;
  std::size_t packetSize = 1400;  // RTP packet, header included (>= 32)
  int framesAfterPlay = 0;
  int frameMs = 0;  // 0: every slot sends what is due
};

// Layout of a streamed packet, for the checking receivers.
struct StreamedPacket {
  static const std::size_t kConnectionOffset = 8;  // SSRC, big-endian
  static const std::size_t kIndexOffset = 16;      // 64-bit big-endian
  // The index is repeated in the last 8 bytes.
};

std::uint64_t readBE64(const unsigned char* p);
std::uint32_t readBE32(const unsigned char* p);

class LoopbackServer {
 public:
  explicit LoopbackServer(const ServerOptions& options);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }

  // Stops the pacer (streaming mode); afterwards sent() is final.
  void stopPacing();
  // Packets sent so far on connection `id` (numbered from 0 in accept
  // order). Without streaming, closed connections are forgotten.
  std::uint64_t sent(std::size_t id) const;
  std::size_t connectionsAccepted() const;
  std::size_t connectionsOpen() const;
  // Pacer slots in which some connection could not take its packets at once
  // (the send blocked): a measure of how well the clients kept up.
  std::uint64_t blockedSends() const { return blockedSends_; }
  // CPU time of the server's own threads so far, in seconds.
  double cpuSeconds() const;

 private:
  struct Connection;
  void loop();
  void pace();
  bool handleRequest(Connection& c, const std::string& request);

  ServerOptions options_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> pacing_{false};
  std::atomic<std::uint64_t> blockedSends_{0};
  std::atomic<std::int64_t> loopCpuNs_{0};
  std::atomic<std::int64_t> pacerCpuNs_{0};
  mutable std::mutex mutex_;  // guards connections_ and the pacer's sends
  std::vector<std::shared_ptr<Connection>> connections_;
  std::atomic<std::size_t> accepted_{0};
  std::thread loopThread_;
  std::thread pacerThread_;
};

}  // namespace soak

#endif  // RTSPPULL_BENCH_SOAK_SERVER_H_
