// Start and stop of a session, and its destruction.
#include <rtsppull/rtsp_download.h>

#include <string>

#include <ace/Guard_T.h>

#include "session/auth.h"
#include "session/camera_state.h"
#include "session/session_internal.h"

bool CRTSPDownload::startRTSPDownload(bool /*tcpOnly*/, bool quietOnFailure) {
  // The transport comes from the options; tcpOnly changes nothing.
  // Without a receiver there is nothing to deliver to: refuse before any
  // state changes, so the session stays idle.
  if (!ptrRTPReceiver_) return false;
  if (running_) return false;

  running_ = true;
  stopFlag_ = false;
  stopping_ = false;
  recordFailure(RTSP_STEP_NONE, RTSP_CAUSE_NONE, std::string());
  camera_->stats.reset();
  // A redirect of an earlier start does not carry over.
  info_.serverAddr = initialAddr_;
  info_.serverPort = initialPort_;
  info_.streamPath = initialPath_;
  playUrl_.clear();
  contentBase_.clear();
  sessionTimeoutSec_ = -1;
  auth_.reset(options_.user.empty() ? nullptr
                                    : new RtspAuthenticator(options_.user, options_.password));
  threadRunning_ = false;
  tracks_.clear();
  routes_.fill(-1);
  {
    ACE_Guard<ACE_Thread_Mutex> guard(clockMutex_);
    clocks_.clear();
  }
  // Decided once: the receive thread hands packets on by it.
  trackReceiver_ = options_.tracks == RTSP_TRACKS_VIDEO
                       ? nullptr
                       : dynamic_cast<IRTPTrackReceiver*>(ptrRTPReceiver_.get());

  useTransport(options_.transport == RTSP_TRANSPORT_TCP ? RTSP_TRANSPORT_TCP : RTSP_TRANSPORT_UDP);
  closeUdp();
  ptrRTPReceiver_->changeImpl(options_.reorder ? RTP_RECEIVER_ORDERED : RTP_RECEIVER_TCP);
  stopFlag_ = false;
  // The session stays running whatever the handshake gives; stop() ends it.
  return TCPDownload(quietOnFailure);
}

bool CRTSPDownload::stop() {
  if (!running_) return true;
  running_ = false;

  // From here an end of reception is this stop's doing (the server may close
  // on TEARDOWN), not a failure to report; it is recorded before the thread
  // can wake, so a callback it runs reads why.
  stopping_ = true;
  if (threadRunning_) {
    recordFailure(RTSP_STEP_RECEIVE, RTSP_CAUSE_STOPPED, "stopped by the host", 0, std::string(),
                  true);
  }
  // No reply is read. On a connection already closed or shut down the send
  // fails and that is ignored. Whatever happens to the TEARDOWN, the receive
  // thread is joined below. The send lock keeps it whole between the receive
  // thread's keep-alives (and their CSeq) on the wire.
  try {
    ACE_Guard<ACE_Thread_Mutex> guard(sendMutex_);
    sendRtspCommand(withAuthorization(makeTearDown()));
  } catch (...) {
  }
  closeAllThread();
  // The receive thread is joined: nothing uses the UDP sockets any more.
  closeUdp();
  return true;
}

void CRTSPDownload::closeAllThread() {
  // One owner of the close: the descriptor is released only here (or by a
  // failed handshake, when no thread exists), after the thread has been
  // joined, so it is never closed twice and never while the thread may still
  // use it. Shutting it down first wakes a read blocked in the thread at
  // once; that read then fails and the thread ends through its failure path
  // (which notifies the host, once per session, unless it has before).
  shutdownStream();
  if (threadRunning_) {
    stopFlag_ = true;
    ACE_Thread::join(thread_, nullptr);
    threadRunning_ = false;
  }
  closeStream();
}

CRTSPDownload::~CRTSPDownload() {
  // stop() joins the receive thread before the members, the receiver among
  // them, are destroyed.
  stop();
}
