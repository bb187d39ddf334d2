// The one reader of the control connection: its socket, one buffer (an
// InterleavedReader) and the waits for more bytes. The handshake takes reply
// lines and bodies from it, the receive loop interleaved frames and RTSP
// messages; what one step receives beyond its own bytes stays in the buffer
// for the next. Used by one thread at a time: the host thread during the
// handshake, the receive thread afterwards.
#ifndef RTSPPULL_SESSION_CONTROL_READER_H_
#define RTSPPULL_SESSION_CONTROL_READER_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "session/control_channel.h"
#include "session/interleaved_reader.h"

// What a read of the control connection came to.
enum class ControlReadStatus {
  kOk,
  kNothing,   // receive(): no bytes waiting
  kClosed,    // the server closed the connection
  kError,     // a receive or a wait failed (ControlReader::error() says why)
  kTimedOut,  // one wait lasted ControlReadWait::each
  kDeadline,  // ControlReadWait::until passed
  kTooLong,   // line(): longer than allowed
};

// How long the handshake may wait for bytes: each wait at most `each`, all
// of them together until `until` (max(): no such bound).
struct ControlReadWait {
  std::chrono::milliseconds each;
  std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max();
};

class ControlReader {
 public:
  using Status = ControlReadStatus;
  using Wait = ControlReadWait;
  // Buffer capacity: one receive takes at most kMaxReceive bytes, whole items
  // are handed on from the buffer and the rest of one waits at its front, so
  // pages beyond a receive plus one item are never touched, never resident.
  static constexpr std::size_t kCapacity = 256 * 1024;
  static constexpr std::size_t kMaxReceive = 16 * 1024;

  // Starts reading the connected socket `fd` with an empty buffer that
  // takes no RTSP messages as items: straight from the socket, or through
  // `channel` (TLS, the HTTP tunnel) when given.
  void attach(int fd, std::unique_ptr<ControlChannel> channel = nullptr);
  int fd() const { return fd_; }
  // The channel under the reader; null: the bare socket. Set on the host
  // thread before the receive thread exists; its send() and shutdown()
  // may then be used from any thread.
  ControlChannel* channel() const { return channel_.get(); }
  // Puts `channel` under the reader, keeping what is buffered; returns the
  // one that was there.
  std::unique_ptr<ControlChannel> swapChannel(std::unique_ptr<ControlChannel> channel);
  // True when the channel may hold bytes already taken off the socket, so
  // the socket must not be waited for before a receive.
  bool mayHoldBytes() const { return channel_ != nullptr; }
  InterleavedReader& buffer() { return *buffer_; }
  // errno of the last kError.
  int error() const { return error_; }

  // The next line through its first CR LF (included), into `line`. With
  // `maxLength` (0: none), a longer line is kTooLong.
  Status line(std::string& line, std::size_t maxLength, const Wait& wait);
  // The next `n` bytes, of which the first `keep` are appended to `out`
  // (the others dropped). kClosed when the connection ends first; `out`
  // then holds what came.
  Status body(std::size_t n, std::string& out, std::size_t keep, const Wait& wait);
  // Up to `n` bytes: those buffered and what one receive adds, waiting only
  // when nothing is buffered. kOk with nothing when the server has closed.
  Status some(std::size_t n, std::string& out, const Wait& wait);

  // One receive into the buffer without waiting (the receive loop).
  Status receive();
  // False when the last receive took fewer bytes than it had room for from
  // a plain socket: the socket held no more then, so the next read may wait
  // for it first instead of finding it empty.
  bool mayHoldMore() const { return !drained_; }
  // Bytes received since the reader was made.
  std::uint64_t receivedBytes() const { return received_; }

 private:
  // Receives at least one byte, waiting as `wait` allows.
  Status fill(const Wait& wait);
  // Moves up to `n` buffered bytes to `out` (at most `keep` of them kept).
  std::size_t take(std::size_t n, std::string& out, std::size_t& keep);

  int fd_ = -1;
  std::unique_ptr<ControlChannel> channel_;
  std::unique_ptr<InterleavedReader> buffer_;
  int error_ = 0;
  bool drained_ = false;
  std::uint64_t received_ = 0;
};

#endif  // RTSPPULL_SESSION_CONTROL_READER_H_
