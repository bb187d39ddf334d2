// The session's test seam (a friend of CRTSPDownload): its timeouts, its
// connection, and the ways it starts its thread and waits. Used by the
// session tests and the client fuzz target.
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
  // The system refuses the receive thread.
  void refuseThreads() {
    d.spawnThread_ = [](ACE_THR_FUNC, void*, ACE_hthread_t*) { return -1; };
  }
  void setPoll(int (*poll)(pollfd*, unsigned long, int)) { d.poll_ = poll; }
  CRTSPDownload& d;
};

#endif  // RTSPPULL_TESTS_SUPPORT_SESSION_PEER_H_
