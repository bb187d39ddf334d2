// The session's test seam (a friend of CRTSPDownload): its timeouts and its
// connection. Used by the session tests and the client fuzz target.
#ifndef RTSPPULL_TESTS_SUPPORT_SESSION_PEER_H_
#define RTSPPULL_TESTS_SUPPORT_SESSION_PEER_H_

#include <rtsppull/rtsp_download.h>

class CRTSPDownloadTestPeer {
 public:
  void setTimeouts(int recvSec, int sdpSec) {
    d.recvTimeoutSec_ = recvSec;
    d.sdpTimeoutSec_ = sdpSec;
  }
  bool streamOpen() const { return d.rtspStream_.get_handle() != ACE_INVALID_HANDLE; }
  ACE_HANDLE streamHandle() const { return d.rtspStream_.get_handle(); }
  CRTSPDownload& d;
};

#endif  // RTSPPULL_TESTS_SUPPORT_SESSION_PEER_H_
