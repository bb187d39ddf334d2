// Helpers of the session tests: the friend test peer, a recording receiver,
// a callback counter, a std::cout capture that records flushes, and the
// expected request texts written out independently of the library.
#ifndef RTSPPULL_TESTS_SUPPORT_SESSION_SUPPORT_H_
#define RTSPPULL_TESTS_SUPPORT_SESSION_SUPPORT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rtsppull/rtsp_download.h>

#include "support/script_server.h"

// Reaches the private steps of a session and its test-only timeout seam.
class CRTSPDownloadTestPeer {
 public:
  explicit CRTSPDownloadTestPeer(CRTSPDownload& d) : d_(d) {}
  void setTimeouts(int recvSec, int sdpSec) {
    d_.recvTimeoutSec_ = recvSec;
    d_.sdpTimeoutSec_ = sdpSec;
  }
  bool connect() { return d_.connectRtspServer(); }
  void close() { d_.closeStream(); }
  std::string getLine() { return d_.streamGetLine(); }
  bool getReply() { return d_.getReply(); }
  bool recvSDPReply() { return d_.recvSDPReply(); }
  void saveFileHeader(const std::string& value) { d_.SaveFileHeader(value); }
  std::string makeDescribe() { return d_.makeDescribe(); }
  bool makeVideoSetup(std::string& request) {
    return d_.makeVideoSetup(request, CRTSPDownload::COMM_TCP_INTERLEAVED);
  }
  unsigned& cseq() { return d_.info_.cseq; }
  std::string& sessionId() { return d_.info_.sessionId; }
  int& contentLength() { return d_.info_.contentLength; }
  SDP& sdp() { return d_.sdp_; }
  ACE_HANDLE handle() const { return d_.rtspStream_.get_handle(); }
  bool streamOpen() const { return handle() != ACE_INVALID_HANDLE; }

 private:
  CRTSPDownload& d_;
};

namespace rtsptest {

// What a RecordingReceiver saw; shared with the test because the session
// owns (and deletes) the receiver.
struct ReceiverLog {
  struct Call {
    std::string data;
    bool isFileHeader;
    SDP* sdp;
  };
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Call> calls;
  int refuseAt = -1;  // index of the call answered with false
  int throwAt = -1;   // index of the call that throws
  bool destroyed = false;

  bool waitCalls(std::size_t n, int milliseconds = 5000) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::milliseconds(milliseconds),
                       [&] { return calls.size() >= n; });
  }
  std::vector<Call> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

class RecordingReceiver : public IRTPReceiver {
 public:
  explicit RecordingReceiver(std::shared_ptr<ReceiverLog> log) : log_(std::move(log)) {}
  ~RecordingReceiver() override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->destroyed = true;
  }
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    int index;
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      index = static_cast<int>(log_->calls.size());
      log_->calls.push_back({std::string(data, length), isFileHeader, sdp});
    }
    log_->cv.notify_all();
    if (index == log_->throwAt) throw 42;
    return index != log_->refuseAt;
  }

 private:
  std::shared_ptr<ReceiverLog> log_;
};

// The host callback: counts its runs and remembers its argument.
struct Notifications {
  std::atomic<int> count{0};
  std::atomic<void*> lastArg{nullptr};
  static void callback(void* arg) {
    Notifications* self = static_cast<Notifications*>(arg);
    self->lastArg = arg;
    ++self->count;
  }
  bool waitCount(int n, int milliseconds = 5000) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (count < n && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return count >= n;
  }
};

// Routes std::cout into a buffer for its lifetime and records the text
// length at every flush, so std::endl can be told from a plain "\n".
class CoutCapture {
 public:
  CoutCapture() : old_(std::cout.rdbuf(&buf_)) {}
  ~CoutCapture() { std::cout.rdbuf(old_); }
  std::string text() const { return buf_.str(); }
  const std::vector<std::size_t>& flushes() const { return buf_.flushes; }

 private:
  struct Buf : std::stringbuf {
    std::vector<std::size_t> flushes;
    int sync() override {
      flushes.push_back(str().size());
      return 0;
    }
  };
  Buf buf_;
  std::streambuf* old_;
};

// The requests a session at 127.0.0.1:<port>/<path> must send.
inline std::string url(unsigned port, const std::string& path = "live") {
  return "Rtsp://127.0.0.1:" + std::to_string(port) + "/" + path;
}
inline std::string optionsRequest(unsigned port, unsigned cseq = 1) {
  return "OPTIONS " + url(port) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nUser-Agent: (ORVE Streaming Media )\r\n\r\n";
}
inline std::string describeRequest(unsigned port, unsigned cseq) {
  return "DESCRIBE " + url(port) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nAccept: application/sdp\r\nUser-Agent: (ORVE Streaming Media )\r\n\r\n";
}
inline std::string setupRequest(const std::string& target, unsigned cseq) {
  return "SETUP " + target + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
}
inline std::string playRequest(unsigned port, unsigned cseq, const std::string& session) {
  return "PLAY " + url(port) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nrange: npt=0.000000-\r\nSession: " + session + "\r\n\r\n";
}
inline std::string teardownRequest(unsigned port, unsigned cseq, const std::string& session) {
  return "TEARDOWN " + url(port) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
         "\r\nMission:" + session + "\r\n\r\n";
}

// A video description with a relative control URL and a stream header.
const std::string kSdp =
    "v=0\r\n"
    "o=- 1 1 IN IP4 127.0.0.1\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;config=000001B0F5\r\n"
    "a=control:trackID=1\r\n";

// Scripts the replies of a whole handshake (server echoes CSeq 1 to 4,
// session "4711;timeout=60") and returns the script for more steps.
inline ScriptServer::Script& scriptHandshake(ScriptServer::Script& s, unsigned port,
                                             const std::string& sdp = kSdp) {
  const std::string length = "Content-Length: " + std::to_string(sdp.size());
  return s.expect(optionsRequest(port))
      .send(reply(200, "OK", 1, {"Public: DESCRIBE, SETUP, PLAY, TEARDOWN"}))
      .expect(describeRequest(port, 2))
      .send(reply(200, "OK", 2, {"Content-Type: application/sdp", length}, sdp))
      .expect(setupRequest(url(port) + "/trackID=1", 3))
      .send(reply(200, "OK", 3, {"Session: 4711;timeout=60"}))
      .expect(playRequest(port, 4, "4711;timeout=60"))
      .send(reply(200, "OK", 4, {"Session: 4711;timeout=60"}));
}

// A session configured for 127.0.0.1:<port>/live with a recording receiver
// and the counting callback. Unless `productTimeouts`, the timeouts are
// shortened (2 s, SDP body 1 s) so that a failing test cannot hang for long.
inline std::unique_ptr<CRTSPDownload> makeSession(unsigned port, std::shared_ptr<ReceiverLog> log,
                                                  Notifications* notes,
                                                  bool productTimeouts = false) {
  std::unique_ptr<CRTSPDownload> d(new CRTSPDownload);
  d->initInfo("127.0.0.1", port, "live", 0, ACE_Time_Value(2, 0), 0);
  if (log) d->registeRTPReceiver(new RecordingReceiver(log));
  if (notes != nullptr) d->setRecvTimeoutCallbackFun(&Notifications::callback, notes);
  if (!productTimeouts) CRTSPDownloadTestPeer(*d).setTimeouts(2, 1);
  return d;
}

// Starts `server` (scripted already) and makes a session for it (for `port`
// when given) with std::cout captured; the session goes first on
// destruction, while its callback target and the capture still exist.
struct SessionRun {
  explicit SessionRun(ScriptServer& server, unsigned port = 0, bool productTimeouts = false) {
    server.start();
    d = makeSession(port != 0 ? port : server.port(), log, &notes, productTimeouts);
  }
  std::shared_ptr<ReceiverLog> log = std::make_shared<ReceiverLog>();
  Notifications notes;
  CoutCapture out;
  std::unique_ptr<CRTSPDownload> d;
};

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SESSION_SUPPORT_H_
