// The session's diagnostic text and the record of its last failure.
#include <rtsppull/rtsp_download.h>

#include <iostream>

#include <ace/Guard_T.h>

#include "session/auth.h"
#include "session/session_internal.h"

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
  say(options_.user.empty() ? request : hideCredentials(request));
}

void CRTSPDownload::recordFailure(RTSP_STEP step, RTSP_CAUSE cause, const std::string& detail,
                                  int statusCode, const std::string& statusLine, bool keepEarlier) {
  ACE_Guard<ACE_Thread_Mutex> guard(failureMutex_);
  if (keepEarlier && lastFailure_.step != RTSP_STEP_NONE) return;
  lastFailure_ = RTSPFailure{step, cause, statusCode, statusLine, detail, transportInUse_};
}
