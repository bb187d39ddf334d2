// The DESCRIBE body: received into the SDP record, cut into lines, echoed,
// and the stream file header decoded from a "config=" value.
#include <rtsppull/rtsp_download.h>

#include <list>
#include <locale>
#include <string>

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
  readProblem_.clear();
  const int contentLength = info_.contentLength;
  // A negative Content-Length (the header parses to one) announces no body
  // that could be read: the DESCRIBE step fails.
  if (contentLength < 0 ||
      (options_.boundedReplies && contentLength > static_cast<int>(kMaxBoundedBody))) {
    readCause_ = RTSP_CAUSE_MALFORMED_REPLY;
    readProblem_ = contentLength < 0 ? "a negative Content-Length" : "a description over 64 KiB";
    return false;
  }

  // Every wait has the body timeout; with bounded replies every wait also
  // ends at the deadline of the DESCRIBE step, so a body that drips in
  // cannot hold the start either.
  const ControlReader::Wait wait = replyWait(sdpTimeoutSec_);
  std::string buffer;
  ControlReader::Status got;
  if (contentLength == 0) {
    // No length announced: whatever has arrived by one receive is the body;
    // anything later stays on the connection.
    got = control_->some(kSdpBufferSize, buffer, wait);
  } else {
    // Exactly the announced length is read. Of a body longer than the buffer
    // only the first 8192 bytes are kept; the rest is read and dropped, so
    // the conversation stays in step with the server. A server that closes
    // early ends the body where it is.
    got = control_->body(static_cast<std::size_t>(contentLength), buffer, kSdpBufferSize, wait);
    if (got == ControlReader::Status::kClosed) got = ControlReader::Status::kOk;
  }
  if (got != ControlReader::Status::kOk) {
    noteReadProblem(got, "timed out after " + std::to_string(sdpTimeoutSec_) +
                             " s waiting for the description");
    return false;
  }
  buffer.resize(kSdpBufferSize, '\0');

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
      // A tolerant session also ends a line at an LF without a CR.
      if (options_.tolerantSession && i > start && buffer[i - 1] != '\r') {
        found.push_back(buffer.substr(start, i - start) + kCrLf);
      }
      start = i + 1;
    }
  }
  if (options_.tolerantSession) {
    // The last line without its line end; then every line without the
    // white space around it, and none that is empty.
    const std::string rest = buffer.substr(start, buffer.find('\0', start) - start);
    if (rest.find('\r') == std::string::npos) found.push_back(rest + kCrLf);
    std::list<std::string> kept;
    for (const std::string& line : found) {
      const std::string::size_type first = line.find_first_not_of(" \t\r\n");
      if (first == std::string::npos) continue;
      kept.push_back(line.substr(first, line.find_last_not_of(" \t\r\n") + 1 - first) + kCrLf);
    }
    found.swap(kept);
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
