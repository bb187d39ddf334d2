// The session's diagnostic text and the record of its last failure.
#include <rtsppull/rtsp_download.h>

#include <iostream>

#include <ace/Guard_T.h>

#include "session/rtsp_text.h"
#include "session/session_internal.h"

namespace {

// The request with the value of every Authorization header replaced, so that
// no credential (nor its Basic encoding) ever reaches the diagnostics.
std::string hideAuthorization(const std::string& request) {
  static const std::string kName = "Authorization:";
  std::string out;
  std::string::size_type pos = 0;
  while (pos < request.size()) {
    std::string::size_type end = request.find('\n', pos);
    end = end == std::string::npos ? request.size() : end + 1;
    const std::string line = request.substr(pos, end - pos);
    if (line.size() >= kName.size() &&
        rtsptext::equalsIgnoreCase(std::string_view(line).substr(0, kName.size()), kName)) {
      out += line.substr(0, kName.size()) + " <credentials hidden>" + kCrLf;
    } else {
      out += line;
    }
    pos = end;
  }
  return out;
}

}  // namespace

void CRTSPDownload::say(const std::string& text) {
  if (!options_.diagnostics) {
    // Exactly the bytes the session has always written, unflushed.
    std::cout << text;
    return;
  }
  ACE_Guard<ACE_Thread_Mutex> guard(diagMutex_);
  diagPending_ += text;
  std::string::size_type start = 0;
  for (std::string::size_type lf; (lf = diagPending_.find('\n', start)) != std::string::npos;
       start = lf + 1) {
    std::string line = diagPending_.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    options_.diagnostics(line);
  }
  diagPending_.erase(0, start);
}

void CRTSPDownload::sayLine(const std::string& text) {
  if (!options_.diagnostics) {
    std::cout << text << std::endl;
    return;
  }
  say(text + "\n");
}

void CRTSPDownload::sayRequest(const std::string& request) {
  // Only a session with a user name authenticates: the default text is
  // never touched.
  say(options_.user.empty() ? request : hideAuthorization(request));
}

void CRTSPDownload::recordFailure(RTSP_STEP step, const std::string& detail, int statusCode,
                                  const std::string& statusLine) {
  ACE_Guard<ACE_Thread_Mutex> guard(failureMutex_);
  lastFailure_.step = step;
  lastFailure_.statusCode = statusCode;
  lastFailure_.statusLine = statusLine;
  lastFailure_.detail = detail;
  lastFailure_.transport = RTSP_TRANSPORT_TCP;
}
