#include "session/interleaved_reader.h"

#include <sys/mman.h>

#include <cstring>
#include <new>

#include "session/rtsp_text.h"

namespace {

// A Content-Length value: decimal digits only, at most 9 of them; -1 otherwise.
long long contentLengthValue(std::string_view text) {
  text = rtsptext::trim(text);
  if (text.empty() || text.size() > 9) return -1;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

namespace {

char* mapZeroed(std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(p);
}

}  // namespace

void InterleavedReader::Unmap::operator()(char* p) const { ::munmap(p, size); }

InterleavedReader::InterleavedReader(std::size_t capacity, bool rtspMessages)
    : buffer_(nullptr, Unmap{capacity < kMinCapacity ? kMinCapacity : capacity}),
      capacity_(capacity < kMinCapacity ? kMinCapacity : capacity),
      rtspMessages_(rtspMessages) {
  buffer_.reset(mapZeroed(capacity_));
}

char* InterleavedReader::space() {
  // Only the unread rest moves, and it is less than one item: the front of
  // the buffer is reused by every receive, so its later pages stay unbacked.
  if (begin_ > 0) {
    const std::size_t rest = end_ - begin_;
    if (rest > 0) std::memmove(buffer_.get(), buffer_.get() + begin_, rest);
    begin_ = 0;
    end_ = rest;
  }
  return buffer_.get() + end_;
}

InterleavedReader::Item InterleavedReader::next() {
  if (failed_) return failure_;
  Item item;
  const std::size_t available = end_ - begin_;
  if (available == 0) return item;
  const char* const p = buffer_.get() + begin_;
  const char first = p[0];
  if (first == '$' || first == '%') {
    if (available < 4) return item;
    const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(p[2])) << 8 |
                               static_cast<unsigned char>(p[3]);
    if (available < 4 + length) return item;
    item.kind = Kind::kFrame;
    item.magic = first;
    item.channel = static_cast<unsigned char>(p[1]);
    item.payload = std::string_view(p + 4, length);
    begin_ += 4 + length;
    return item;
  }
  if (rtspMessages_ && first >= 'A' && first <= 'Z') return nextMessage();
  failed_ = true;
  failure_.kind = Kind::kBadByte;
  failure_.byte = static_cast<unsigned char>(first);
  return failure_;
}

InterleavedReader::Item InterleavedReader::nextMessage() {
  const char* const p = buffer_.get() + begin_;
  const std::size_t available = end_ - begin_;
  const auto fail = [this, p](Kind kind, const char* problem) {
    failed_ = true;
    failure_.kind = kind;
    failure_.byte = static_cast<unsigned char>(p[0]);
    failure_.problem = problem;
    return failure_;
  };

  // lines_ counts the lines seen; the head is complete once the empty line
  // after the start line has been seen (headSize_ marks its end).
  while (headSize_ == 0 && scanned_ < available) {
    const char c = p[scanned_++];
    if (scanned_ > kMaxMessage) {
      return lines_ == 0 ? fail(Kind::kBadByte, nullptr)
                         : fail(Kind::kBadMessage, "a message over 64 KiB");
    }
    if (c != '\n') {
      if (scanned_ - lineStart_ > kMaxLine) {
        // A start line that never ends was no RTSP message at all.
        return lines_ == 0 ? fail(Kind::kBadByte, nullptr)
                           : fail(Kind::kBadMessage, "a header line over 8 KiB");
      }
      continue;
    }
    std::string_view line(p + lineStart_, scanned_ - 1 - lineStart_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (lines_ == 0) {
      if (rtsptext::replyStatus(line) == 0 && rtsptext::requestMethod(line).empty()) {
        return fail(Kind::kBadByte, nullptr);
      }
    } else if (line.empty()) {
      headSize_ = scanned_;
    } else {
      if (lines_ > kMaxHeaderLines) return fail(Kind::kBadMessage, "over 100 header lines");
      const std::size_t colon = line.find(':');
      if (colon != std::string_view::npos &&
          rtsptext::equalsIgnoreCase(rtsptext::trim(line.substr(0, colon)), "Content-Length")) {
        contentLength_ = contentLengthValue(line.substr(colon + 1));
        if (contentLength_ < 0) return fail(Kind::kBadMessage, "a malformed Content-Length");
      }
    }
    ++lines_;
    lineStart_ = scanned_;
  }
  if (headSize_ == 0) return Item();
  const std::size_t total = headSize_ + static_cast<std::size_t>(contentLength_);
  if (total > kMaxMessage) return fail(Kind::kBadMessage, "a message over 64 KiB");
  if (available < total) return Item();  // the body is still on its way
  Item item;
  item.kind = Kind::kMessage;
  item.head = std::string_view(p, headSize_);
  item.payload = std::string_view(p + headSize_, total - headSize_);
  begin_ += total;
  scanned_ = lineStart_ = lines_ = headSize_ = 0;
  contentLength_ = 0;
  return item;
}
