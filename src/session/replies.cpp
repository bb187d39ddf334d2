// RTSP replies: the status line, the header block up to its empty line, and
// the CSeq, Session and Content-Length values taken from it.
#include <rtsppull/rtsp_download.h>

#include <cstddef>
#include <cstdlib>

#include <boost/algorithm/string/trim.hpp>

#include "session/session_internal.h"

namespace {

// Header lines of one reply that are kept, and (bounded replies) allowed:
// as many as the reader allows in a message during playback.
const std::size_t kMaxHeaderLines = InterleavedReader::kMaxHeaderLines;

// atoi as the C library defines it (leading white space, optional sign,
// digits up to the first non-digit, 0 without digits), but with no undefined
// behaviour for values out of range: strtol saturates and the narrowing to
// int wraps, which is what the C library's own atoi yields here.
int toInt(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

// The fixed message of a status code, or null for none. Some end with a
// flushed line end (std::endl; `flushed` true), the others with a plain
// "\n" in their text; both are part of the output hosts see.
const char* statusMessage(int code, bool& flushed) {
  flushed = false;
  switch (code) {
    case 200:
      return nullptr;
    case 250:
      flushed = true;
      return "Low on Storage Space!";
    case 300:
      flushed = true;
      return "Multiple Choices!\n";
    case 400:
      return "Bad Request!\n";
    case 401:
      return "Unauthorized!\n";
    case 404:
      return "Not Found!\n";
    case 405:
      return "Method Not Allowed!\n";
    case 408:
      return "Request Time-out!\n";
    case 412:
      return "Precondition Failed!\n";
    case 413:
      return "Request Entity Too Large!\n";
    case 414:
      return "Request URL Too Large!\n";
    case 415:
      return "Unsupport Media Type!\n";
    case 451:
      return "Parameter Not Understand!\n";
    case 453:
      return "Not Enough Bandwidth!\n";
    case 454:
      return "Session Not Found!\n";
    case 457:
      return "Invalid Range!\n";
    case 458:
      return "Parameter Is Read-Only!\n";
    case 461:
      return "Unsupported transport!\n";
    case 500:
      return "Internal Server Error!\n";
    case 505:
      return "RTSP Version not supported!\n";
    case 551:
      return "Option not supported!\n";
    default:
      flushed = true;
      return "Get an Error code!";
  }
}

}  // namespace

std::string CRTSPDownload::searchTag(const std::string& text, const std::string& tag) {
  // The text between the first occurrence of `tag` and the last two
  // characters of `text` (a line's CR LF); at least one character must lie
  // between, or the result is empty. Nothing after the tag is skipped.
  const std::string::size_type pos = text.find(tag);
  if (pos == std::string::npos) return std::string();
  const std::string::size_type from = pos + tag.size();
  if (from + 2 >= text.size()) return std::string();
  return text.substr(from, text.size() - 2 - from);
}

int CRTSPDownload::getReplyCode(const std::string& statusLine) {
  const std::string rest = searchTag(statusLine, kRtspVersion);
  return rest.empty() ? 0 : toInt(rest);
}

bool CRTSPDownload::getReply() {
  replyCode_ = 0;
  replyStatusLine_.clear();
  replyHead_.clear();
  readProblem_.clear();
  if (options_.tolerantSession && !takeEarlyFrames()) return false;
  std::string line = streamGetLine();
  say(line);
  if (line.empty()) return false;
  const int code = getReplyCode(line);
  replyCode_ = code;
  replyStatusLine_ = line.substr(0, line.size() - kCrLf.size());
  replyHead_ = line;
  // Every status gets its header block read and applied: an error reply
  // still moves CSeq on and may replace the session id.
  bool flushed = false;
  if (const char* message = statusMessage(code, flushed)) {
    if (flushed) {
      sayLine(message);
    } else {
      say(message);
    }
  }

  for (std::size_t lines = 0;; ++lines) {
    if (options_.tolerantSession && !takeEarlyFrames()) return false;
    line = streamGetLine();
    say(line);
    // A read that fails inside the block keeps what earlier lines set but
    // does not advance the CSeq.
    if (line.empty()) return false;
    if (options_.boundedReplies && lines == kMaxHeaderLines && line != kCrLf) {
      readCause_ = RTSP_CAUSE_MALFORMED_REPLY;
      readProblem_ = "a reply with over 100 header lines";
      return false;
    }
    // Kept for the header lookups of the options (at most 100 lines, so a
    // server cannot grow it without end).
    if (lines < kMaxHeaderLines) replyHead_ += line;

    // Tags count anywhere in a line. "CSeq: 0" (or no number) keeps the
    // current value.
    for (const char* tag : {"CSeq:", "Cseq:"}) {
      const std::string value = searchTag(line, tag);
      if (!value.empty()) {
        const int cseq = toInt(value);
        if (cseq != 0) info_.cseq = static_cast<unsigned int>(cseq);
      }
    }
    const std::string session = searchTag(line, "Session:");
    if (!session.empty()) {
      // Parameters after the id (";timeout=60") are kept: the server gets
      // the value back as it sent it.
      info_.sessionId = session;
      boost::algorithm::trim(info_.sessionId);
    }
    // Only with its space, in this spelling.
    const std::string length = searchTag(line, "Content-Length: ");
    if (!length.empty()) info_.contentLength = toInt(length);

    if (line == kCrLf) {
      afterReply();
      ++info_.cseq;
      return code == 200;
    }
  }
}
