// Session options and the record of the last failure.
#include <rtsppull/rtsp_download.h>
#include <rtsppull/session_options.h>

#include <ace/Guard_T.h>

RTSPSessionOptions RTSPSessionOptions::recommended() {
  RTSPSessionOptions options;
  options.keepAliveSec = -1;
  options.standardRequests = true;
  options.maxRedirects = 3;
  options.boundedReplies = true;
  options.receiveBufferBytes = 256 * 1024;
  options.failOnRefusedHeader = true;
  options.userAgentOnAllRequests = true;
  options.tolerantSession = true;
  options.tolerantMedia = true;
  options.tracks = RTSP_TRACKS_VIDEO_AUDIO;
  return options;
}

bool CRTSPDownload::setOptions(const RTSPSessionOptions& options) {
  if (running_) return false;
  options_ = options;
  return true;
}

RTSPFailure CRTSPDownload::lastFailure() const {
  ACE_Guard<ACE_Thread_Mutex> guard(failureMutex_);
  return lastFailure_;
}
