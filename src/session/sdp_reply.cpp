// The DESCRIBE body: received into the SDP record, cut into lines, echoed,
// and the stream file header decoded from a "config=" value.
#include <rtsppull/rtsp_download.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <list>
#include <locale>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>

#include "session/session_internal.h"

namespace {

// Size of the body buffer: the part of a body that is kept.
const std::size_t kSdpBufferSize = 8192;
// Bounded replies: the longest body announced that is read at all.
const std::size_t kMaxBoundedBody = 65536;

// Value of one hexadecimal digit of a lower-cased "config=" value. Anything
// that is not 'a' to 'f' counts as a decimal digit, taken on its signed code:
// malformed digits are not detected, they just give odd bytes. Returned as
// the two's complement bit pattern so the caller can shift it without
// undefined behaviour.
unsigned int hexDigit(char c) {
  const int code = static_cast<signed char>(c);
  const int value = (c >= 'a' && c <= 'f') ? code - 'a' + 10 : code - '0';
  return static_cast<unsigned int>(value);
}

}  // namespace

bool CRTSPDownload::recvSDPReply() {
  sdp_.lines.clear();

  std::string buffer(kSdpBufferSize, '\0');
  ACE_Time_Value timeout(sdpTimeoutSec_, 0);
  const int contentLength = info_.contentLength;

  readProblem_.clear();
  bool tooSlow = false;
  const auto receiveFailed = [this, &tooSlow]() {
    if (tooSlow) {
      readProblem_ = "the server took over " + std::to_string(recvTimeoutSec_) + " s to answer";
    } else if (errno == ETIME) {
      readProblem_ =
          "timed out after " + std::to_string(sdpTimeoutSec_) + " s waiting for the description";
    } else {
      readProblem_ = std::string("receive failed: ") + std::strerror(errno);
    }
    return false;
  };
  // Exactly `len` bytes, as recv_n gives them (0 when the server closed
  // first, -1 on an error or a timeout). With bounded replies every wait
  // also ends at the deadline of the DESCRIBE step, so a body that drips in
  // cannot hold the start either.
  const auto receiveExactly = [this, &timeout, &tooSlow](char* buf, std::size_t len) -> ssize_t {
    if (!options_.boundedReplies) return rtspStream_.recv_n(buf, len, &timeout);
    std::size_t got = 0;
    while (got < len) {
      const ssize_t n = ::recv(rtspStream_.get_handle(), buf + got, len - got, MSG_DONTWAIT);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          stepDeadline_ - std::chrono::steady_clock::now());
      const auto wait =
          std::min<std::chrono::milliseconds>(left, std::chrono::seconds(sdpTimeoutSec_));
      pollfd wanted{rtspStream_.get_handle(), POLLIN, 0};
      const int ready = wait.count() <= 0 ? 0 : ::poll(&wanted, 1, static_cast<int>(wait.count()));
      if (ready == 0) {
        tooSlow = left <= std::chrono::seconds(sdpTimeoutSec_);
        errno = ETIME;
        return -1;
      }
      if (ready < 0 && errno != EINTR) return -1;
    }
    return static_cast<ssize_t>(got);
  };

  // A negative Content-Length (the header parses to one) announces no body
  // that could be read: the DESCRIBE step fails.
  if (contentLength < 0) {
    readProblem_ = "a negative Content-Length";
    return false;
  }
  if (options_.boundedReplies && contentLength > static_cast<int>(kMaxBoundedBody)) {
    readProblem_ = "a description over 64 KiB";
    return false;
  }

  if (contentLength == 0) {
    // No length announced: whatever has arrived by one receive is the body;
    // anything later stays on the connection.
    if (rtspStream_.recv(&buffer[0], kSdpBufferSize, &timeout) == -1) return receiveFailed();
  } else {
    // Exactly the announced length is read. Of a body longer than the buffer
    // only the first 8192 bytes are kept; the rest is read and dropped, so
    // the conversation stays in step with the server. Every read has the
    // body timeout. A server that closes early ends the body where it is.
    const std::size_t announced = static_cast<std::size_t>(contentLength);
    const std::size_t kept = std::min(announced, kSdpBufferSize);
    const ssize_t received = receiveExactly(&buffer[0], kept);
    if (received == -1) return receiveFailed();
    if (received > 0 && announced > kept) {
      std::vector<char> scratch(kSdpBufferSize);
      std::size_t left = announced - kept;
      while (left > 0) {
        const std::size_t chunk = std::min(left, scratch.size());
        const ssize_t dropped = receiveExactly(scratch.data(), chunk);
        if (dropped == -1) return receiveFailed();
        if (dropped == 0) break;
        left -= chunk;
      }
    }
  }

  // The whole buffer, zero padding included, is the record's text.
  sdp_.text = buffer;

  // Lines end only at a CR (stored with CR LF); an LF only moves the start of
  // the next line. So LF-only text forms no line, text after the last CR is
  // dropped, and a CR without an LF repeats the text since the last LF in
  // the next line.
  std::list<std::string> found;
  std::string::size_type start = 0;
  for (std::string::size_type i = 0; i < buffer.size(); ++i) {
    if (buffer[i] == '\r') {
      found.push_back(buffer.substr(start, i - start) + kCrLf);
    } else if (buffer[i] == '\n') {
      start = i + 1;
    }
  }

  static const std::string kConfigTag = "config=";
  for (const std::string& line : found) {
    say(line);
    const std::string::size_type pos = line.find(kConfigTag);
    if (pos != std::string::npos) {
      const std::string::size_type from = pos + kConfigTag.size();
      // May throw "FileHeader is too long": the line has been echoed but is
      // not stored, and no later line is looked at.
      SaveFileHeader(line.substr(from, line.size() - kCrLf.size() - from));
    }
    sdp_.lines.push_back(line);
  }
  return true;
}

void CRTSPDownload::SaveFileHeader(const std::string& value) {
  const std::string::size_type n = value.size();
  // Up to 16385 digits fit (a last unpaired digit is not decoded).
  if (n / 2 > SDP::kFileHeaderCapacity) throw myException("FileHeader is too long");

  std::string digits = value;
  boost::algorithm::to_lower(digits, std::locale());
  for (std::string::size_type i = 0; i + 1 < n; i += 2) {
    const unsigned int byte = (hexDigit(digits[i]) << 4) | hexDigit(digits[i + 1]);
    sdp_.file_header[i / 2] = static_cast<char>(byte & 0xFFu);
  }
  sdp_.file_header_len = static_cast<unsigned int>(n / 2);
}
