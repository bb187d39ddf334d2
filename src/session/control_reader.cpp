#include "session/control_reader.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

void ControlReader::attach(int fd, std::unique_ptr<ControlChannel> channel) {
  fd_ = fd;
  channel_ = std::move(channel);
  error_ = 0;
  buffer_.reset(new InterleavedReader(kCapacity, false));
}

std::unique_ptr<ControlChannel> ControlReader::swapChannel(
    std::unique_ptr<ControlChannel> channel) {
  channel_.swap(channel);
  return channel;
}

ControlReader::Status ControlReader::receive() {
  for (;;) {
    char* const space = buffer_->space();
    const std::size_t room = std::min(buffer_->spaceSize(), kMaxReceive);
    const ssize_t n =
        channel_ ? channel_->receive(space, room) : ::recv(fd_, space, room, MSG_DONTWAIT);
    if (n > 0) {
      drained_ = !channel_ && static_cast<std::size_t>(n) < room;
      received_ += static_cast<std::uint64_t>(n);
      buffer_->commit(static_cast<std::size_t>(n));
      return Status::kOk;
    }
    if (n == 0) return Status::kClosed;
    // A signal handled by the host is no failure of the connection.
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK || errno == EAGAIN || errno == ENOBUFS) return Status::kNothing;
    error_ = errno;
    return Status::kError;
  }
}

ControlReader::Status ControlReader::fill(const Wait& wait) {
  for (;;) {
    const Status got = receive();
    if (got != Status::kNothing) return got;
    // Nothing there yet: the clock is read only now, so a receive whose
    // bytes had already arrived never needs it.
    std::chrono::milliseconds ms = wait.each;
    bool cutByDeadline = false;
    if (wait.until != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wait.until - Clock::now());
      if (left.count() <= 0) return Status::kDeadline;
      if (left < ms) {
        ms = left;
        cutByDeadline = true;
      }
    }
    pollfd wanted{fd_, POLLIN, 0};
    const int ready =
        ::poll(&wanted, 1, static_cast<int>(std::min<long long>(ms.count(), INT_MAX)));
    if (ready == 0) return cutByDeadline ? Status::kDeadline : Status::kTimedOut;
    if (ready < 0 && errno != EINTR) {
      error_ = errno;
      return Status::kError;
    }
  }
}

std::size_t ControlReader::take(std::size_t n, std::string& out, std::size_t& keep) {
  const std::size_t count = std::min(n, buffer_->buffered());
  const std::size_t kept = std::min(count, keep);
  out.append(buffer_->pending().data(), kept);
  keep -= kept;
  buffer_->consume(count);
  return count;
}

ControlReader::Status ControlReader::line(std::string& line, std::size_t maxLength,
                                          const Wait& wait) {
  line.clear();
  constexpr std::size_t npos = std::string_view::npos;
  for (;;) {
    // A CR at the end of the buffer is held back until the byte after it
    // has come, so a CR LF never straddles `line` and the buffer.
    const std::string_view pending = buffer_->pending();
    const std::size_t lf = pending.find('\n');
    const bool whole = lf != npos && lf > 0 && pending[lf - 1] == '\r';
    const bool heldCr = lf == npos && !pending.empty() && pending.back() == '\r';
    std::size_t keep = npos;
    take(lf != npos ? lf + 1 : pending.size() - heldCr, line, keep);
    if (maxLength > 0 && line.size() + heldCr > maxLength) return Status::kTooLong;
    if (whole) return Status::kOk;
    if (lf != npos) continue;  // an LF without its CR: the line goes on
    const Status got = fill(wait);
    if (got != Status::kOk) return got;
  }
}

ControlReader::Status ControlReader::body(std::size_t n, std::string& out, std::size_t keep,
                                          const Wait& wait) {
  for (;;) {
    n -= take(n, out, keep);
    if (n == 0) return Status::kOk;
    const Status got = fill(wait);
    if (got != Status::kOk) return got;
  }
}

ControlReader::Status ControlReader::some(std::size_t n, std::string& out, const Wait& wait) {
  const Status got = buffer_->buffered() > 0 ? receive() : fill(wait);
  if (got == Status::kError || got == Status::kTimedOut || got == Status::kDeadline) return got;
  std::size_t keep = n;
  take(n, out, keep);
  return Status::kOk;
}
