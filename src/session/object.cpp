// The session object: construction, configuration and the once-only
// notification of the host.
#include <rtsppull/rtsp_download.h>

#include <poll.h>

#include <ace/Guard_T.h>

#include "session/auth.h"
#include "session/camera_state.h"
#include "session/session_internal.h"

const std::string kRtspVersion = "RTSP/1.0";
const std::string kCrLf = "\r\n";

CRTSPDownload::RTSPInfo::RTSPInfo()
    : serverAddr(), serverPort(554), streamPath(), cseq(1), sessionId(), contentLength(0) {}

CRTSPDownload::CRTSPDownload()
    : info_(),
      sdp_(),
      rtspStream_(),
      control_(new ControlReader),
      ptrRTPReceiver_(),
      running_(false),
      connectTimeout_(ACE_Time_Value::zero),
      stopFlag_(false),
      thread_(),
      threadRunning_(false),
      spawnThread_(&CRTSPDownload::spawnReceiveThread),
      poll_(&::poll),
      recvTimeoutCallback_(nullptr),
      callbackArg_(nullptr),
      notified_(false),
      notifyMutex_(),
      options_(),
      lastFailure_(),
      failureMutex_(),
      sendMutex_(),
      diagMutex_(),
      diagPending_(),
      stopping_(false),
      initialAddr_(),
      initialPort_(554),
      initialPath_(),
      replyCode_(0),
      replyStatusLine_(),
      replyHead_(),
      readProblem_(),
      readCause_(RTSP_CAUSE_NONE),
      stepDeadline_(),
      currentStep_(RTSP_STEP_NONE),
      redirectCount_(0),
      playUrl_(),
      contentBase_(),
      keepAliveMethod_(),
      sessionTimeoutSec_(-1),
      localPortBase_(0),
      transportInUse_(RTSP_TRANSPORT_TCP),
      udp_(),
      udpOthers_(),
      media_(),
      tracks_(),
      routes_(),
      trackReceiver_(nullptr),
      clocks_(),
      clockMutex_(),
      auth_(),
      camera_(new CameraState),
      recvTimeoutSec_(20),
      sdpTimeoutSec_(5) {
  routes_.fill(-1);
}

void CRTSPDownload::initInfo(const std::string& serverAddr, unsigned int serverPort,
                             const std::string& streamPath, unsigned int localPortBase,
                             const ACE_Time_Value& connectTimeout, unsigned int /*reserved*/) {
  // localPortBase is used only when the options ask for UDP; reserved is
  // accepted for interface compatibility only.
  info_.serverAddr = serverAddr;
  info_.serverPort = serverPort;
  info_.streamPath = streamPath;
  initialAddr_ = serverAddr;
  initialPort_ = serverPort;
  initialPath_ = streamPath;
  localPortBase_ = localPortBase;
  connectTimeout_ = connectTimeout;
}

void CRTSPDownload::registeRTPReceiver(IRTPReceiver* receiver) {
  // Registering the receiver already held must not delete it.
  if (receiver != ptrRTPReceiver_.get()) ptrRTPReceiver_.reset(receiver);
}

void CRTSPDownload::setRecvTimeoutCallbackFun(RecvTimeoutCallback callback, void* arg) {
  // The receive thread reads the pair inside notifyFun under notifyMutex_;
  // storing it under the same lock keeps a host that changes the callback
  // while a session runs free of a data race. (Hence the callback itself
  // must not call this.)
  ACE_Guard<ACE_Thread_Mutex> guard(notifyMutex_);
  recvTimeoutCallback_ = callback;
  callbackArg_ = arg;
}

bool CRTSPDownload::isRunning() const { return running_; }

void CRTSPDownload::notifyFun() {
  if (notified_) return;
  ACE_Guard<ACE_Thread_Mutex> guard(notifyMutex_);
  // Checked again under the lock: a handshake failure and a receive thread
  // failing at the same time still run the callback once in all. notified_ is
  // never cleared, so the callback runs at most once per session object; a
  // call that finds no callback leaves it unset for a later one.
  if (!notified_ && recvTimeoutCallback_ != nullptr) {
    recvTimeoutCallback_(callbackArg_);
    notified_ = true;
  }
}
