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
  bool getReply() { return d_.getReply(); }
  bool recvSDPReply() { return d_.recvSDPReply(); }
  unsigned& cseq() { return d_.info_.cseq; }
  std::string& sessionId() { return d_.info_.sessionId; }
  int& contentLength() { return d_.info_.contentLength; }
  SDP& sdp() { return d_.sdp_; }
  bool streamOpen() const { return d_.rtspStream_.get_handle() != ACE_INVALID_HANDLE; }

 private:
  CRTSPDownload& d_;
};

namespace rtsptest {

// What a RecordingReceiver saw; shared because the session owns the receiver.
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
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->calls.push_back({std::string(data, length), isFileHeader, sdp});
    log_->cv.notify_all();
    return static_cast<int>(log_->calls.size()) - 1 != log_->refuseAt;
  }

 private:
  std::shared_ptr<ReceiverLog> log_;
};

// The host callback: counts its runs.
struct Notifications {
  std::atomic<int> count{0};
  static void callback(void* arg) { ++static_cast<Notifications*>(arg)->count; }
  bool waitCount(int n, int milliseconds = 5000) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (count < n && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return count >= n;
  }
};

// Routes std::cout into a buffer and records the length at every flush, so
// std::endl can be told from a plain "\n".
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

inline std::string url(unsigned port) {
  return "Rtsp://127.0.0.1:" + std::to_string(port) + "/live";
}
inline std::string optionsRequest(unsigned port) {
  return "OPTIONS " + url(port) +
         " RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: (ORVE Streaming Media )\r\n\r\n";
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

// The request of each handshake step and the server's whole answer to it
// (CSeq 1 to 4, session "4711;timeout=60").
inline std::vector<std::pair<std::string, std::string>> handshake(unsigned port,
                                                                  bool withLength = true) {
  std::vector<std::string> describeHeaders = {"Content-Type: application/sdp"};
  if (withLength) describeHeaders.push_back("Content-Length: " + std::to_string(kSdp.size()));
  const std::string session = "Session: 4711;timeout=60";
  return {
      {optionsRequest(port), reply(200, "OK", 1, {"Public: DESCRIBE, SETUP, PLAY, TEARDOWN"})},
      {describeRequest(port, 2), reply(200, "OK", 2, describeHeaders, kSdp)},
      {setupRequest(url(port) + "/trackID=1", 3), reply(200, "OK", 3, {session})},
      {playRequest(port, 4, "4711;timeout=60"), reply(200, "OK", 4, {session})},
  };
}

inline ScriptServer::Script& scriptHandshake(ScriptServer& server) {
  ScriptServer::Script& s = server.connection();
  for (const auto& step : handshake(server.port())) s.expect(step.first).send(step.second);
  return s;
}

// A session for 127.0.0.1:<port>/live. Unless `productTimeouts`, the
// timeouts are shortened (1 s) so that a failing test cannot hang for long.
inline std::unique_ptr<CRTSPDownload> makeSession(unsigned port, std::shared_ptr<ReceiverLog> log,
                                                  Notifications* notes,
                                                  bool productTimeouts = false) {
  std::unique_ptr<CRTSPDownload> d(new CRTSPDownload);
  d->initInfo("127.0.0.1", port, "live", 0, ACE_Time_Value(2, 0), 0);
  if (log) d->registeRTPReceiver(new RecordingReceiver(log));
  if (notes != nullptr) d->setRecvTimeoutCallbackFun(&Notifications::callback, notes);
  if (!productTimeouts) CRTSPDownloadTestPeer(*d).setTimeouts(1, 1);
  return d;
}

// Starts `server` and makes a session for it with std::cout captured; the
// session goes first on destruction, while its callback target still exists.
struct SessionRun {
  explicit SessionRun(ScriptServer& server, bool productTimeouts = false) {
    server.start();
    d = makeSession(server.port(), log, &notes, productTimeouts);
  }
  std::shared_ptr<ReceiverLog> log = std::make_shared<ReceiverLog>();
  Notifications notes;
  CoutCapture out;
  std::unique_ptr<CRTSPDownload> d;
};

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SESSION_SUPPORT_H_
