// RTSP replies: the status line, the header block up to its empty line, and
// the CSeq, Session and Content-Length values taken from it.
#include <rtsppull/rtsp_download.h>

#include <cstdlib>
#include <iostream>

#include <boost/algorithm/string/trim.hpp>

#include "session/session_internal.h"

namespace {

// atoi as the C library defines it (leading white space, optional sign,
// digits up to the first non-digit, 0 without digits), but with no undefined
// behaviour for values out of range: strtol saturates and the narrowing to
// int wraps, which is what the C library's own atoi yields here.
int toInt(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

// The fixed message of a status code. Some end with a flushed line end
// (std::endl), the others with a plain "\n"; both are part of the output
// hosts see.
void printStatusMessage(int code) {
  switch (code) {
    case 200:
      break;
    case 250:
      std::cout << "Low on Storage Space!" << std::endl;
      break;
    case 300:
      std::cout << "Multiple Choices!\n" << std::endl;
      break;
    case 400:
      std::cout << "Bad Request!\n";
      break;
    case 401:
      std::cout << "Unauthorized!\n";
      break;
    case 404:
      std::cout << "Not Found!\n";
      break;
    case 405:
      std::cout << "Method Not Allowed!\n";
      break;
    case 408:
      std::cout << "Request Time-out!\n";
      break;
    case 412:
      std::cout << "Precondition Failed!\n";
      break;
    case 413:
      std::cout << "Request Entity Too Large!\n";
      break;
    case 414:
      std::cout << "Request URL Too Large!\n";
      break;
    case 415:
      std::cout << "Unsupport Media Type!\n";
      break;
    case 451:
      std::cout << "Parameter Not Understand!\n";
      break;
    case 453:
      std::cout << "Not Enough Bandwidth!\n";
      break;
    case 454:
      std::cout << "Session Not Found!\n";
      break;
    case 457:
      std::cout << "Invalid Range!\n";
      break;
    case 458:
      std::cout << "Parameter Is Read-Only!\n";
      break;
    case 461:
      std::cout << "Unsupported transport!\n";
      break;
    case 500:
      std::cout << "Internal Server Error!\n";
      break;
    case 505:
      std::cout << "RTSP Version not supported!\n";
      break;
    case 551:
      std::cout << "Option not supported!\n";
      break;
    default:
      std::cout << "Get an Error code!" << std::endl;
      break;
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
  std::string line = streamGetLine();
  std::cout << line;
  if (line.empty()) return false;
  const int code = getReplyCode(line);
  // Every status gets its header block read and applied: an error reply
  // still moves CSeq on and may replace the session id.
  printStatusMessage(code);

  for (;;) {
    line = streamGetLine();
    std::cout << line;
    // A read that fails inside the block keeps what earlier lines set but
    // does not advance the CSeq.
    if (line.empty()) return false;

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
      ++info_.cseq;
      return code == 200;
    }
  }
}
