// The loopback RTSP server of the benchmarks, the load and soak programs:
// listens on 127.0.0.1 on an ephemeral port and answers OPTIONS, DESCRIBE,
// SETUP, PLAY and TEARDOWN for any URL. Two ways to use it:
//
// In process, LoopbackServer (soak_concurrent, soak_cycles, stop_latency):
// one event-loop thread serves every connection over interleaved TCP and
// closes a connection once its client has closed it (after TEARDOWN). What
// happens after PLAY depends on ServerOptions:
//   - stream: a pacer thread sends RTP packets of `packetSize` bytes as
//     interleaved "$" frames on channel 0 at `bitsPerSecond` per connection,
//     in 10 ms slots, until stopPacing(); with `frameMs` set, each
//     connection's packets leave in one burst per frame interval, counted
//     from its own PLAY, the way a camera sends a video frame (so the bursts
//     of many connections are spread over the interval). Every streamed
//     packet carries its connection number (as SSRC and in the payload) and
//     its packet index (in the payload, at the start and at the end; its
//     low 16 bits are the RTP sequence number), so a receiver can check that
//     it got every packet, in order, whole (StreamedPacket);
//   - otherwise: `framesAfterPlay` small frames right after the PLAY reply,
//     then nothing.
//
// As a program of its own, `loopback_server`, so that a measured client's
// process holds the client alone:
//
//   loopback_server --stream FILE [--packets N] [--bitrate BITS_PER_S]
//                   [--clients K] [--hold-play] [--path NAME] [--audio]
//     Replay (bench/compare.py): serves K clients (default 1), each on its
//     own thread, then exits. SETUP takes interleaved TCP or UDP to the
//     client's port pair. After PLAY the recording (bench/make_stream.py) is
//     replayed, looped with continuous sequence numbers and timestamps, as
//     "$" frames or as datagrams (sendmmsg, up to 64 at a time; one the
//     client has no room for is lost, which the client must count) until N
//     packets (default 100000) are out; then the server shuts its side of
//     the RTSP connection down (over UDP 0.3 s after the last datagram) and
//     waits for the client to close. Without --bitrate as fast as the socket
//     takes it; with it, the packets of one video frame (up to the marker
//     bit) leave in one burst, each burst when the byte count sent so far
//     allows it. --hold-play prints "play I NS" when client I's PLAY arrives
//     and waits for a line on stdin before answering it, so that a driver can
//     sample the client's CPU time at that moment. --audio also describes a
//     PCMU track (trackID=1); a client that sets it up gets, after every
//     video frame, the 20 ms audio packets due by then (taking 30 frames per
//     second), interleaved on channel 2 or on their own UDP port pair, and
//     over TCP a sender report on channels 1 and 3 every 150 video frames.
//     N counts video packets only. After each client:
//       client I packets=N frames=F bytes=B play_ns=T first_ns=T end_ns=T ok=0|1
//     with CLOCK_MONOTONIC times: PLAY received, first frame written, last
//     frame written; ok=1 when every requested packet was written.
//     --one-loop (with --bitrate; interleaved TCP, video only, no TLS): every
//     client on one epoll thread, one send per video frame, each client's
//     frames paced from its own PLAY; --packets 0 streams until a line
//     "stop" (or the end of input) on stdin, after which each stream ends at
//     a frame boundary. Its client lines end with name=X, the last segment
//     of the URL the client described (recorder_scale.py names each camera
//     that way).
//
//   loopback_server --paced [--bitrate 1000000] [--packet 1400]
//                   [--frame-ms 40] [--max-seconds 900]
//     Load (scale_host): LoopbackServer streaming to any number of sessions,
//     one burst per frame interval. Then one command per line on stdin:
//       cpu   -> "cpu user_us=U sys_us=S"  (the whole server process so far)
//       stop  -> stops pacing; "sent ID N" for every connection (ID as
//                carried in the packets), then "stopped total=T blocked=B"
//     End of input (or --max-seconds, so that it never outlives a driver
//     that died) closes every connection and exits.
//
// Either way the program first prints "port N" on stdout.
#ifndef RTSPPULL_BENCH_LOOPBACK_SERVER_H_
#define RTSPPULL_BENCH_LOOPBACK_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

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

}  // namespace loopback

#endif  // RTSPPULL_BENCH_LOOPBACK_SERVER_H_
