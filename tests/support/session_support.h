// Helpers of the session tests: a scripted RTSP server on 127.0.0.1, a
// recording host, the handshake written out independently of the library,
// and one whole session against the server.
#ifndef RTSPPULL_TESTS_SUPPORT_SESSION_SUPPORT_H_
#define RTSPPULL_TESTS_SUPPORT_SESSION_SUPPORT_H_

#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <rtsppull/rtsp_download.h>

#include "loopback.h"
#include "session_peer.h"

namespace rtsptest {

enum class End { kReadOn, kClose };

// Serves one connection: each time a request has come in whole (through its
// empty line; read one byte at a time, so nothing of a later one is taken),
// sends the next answer. After the last answer reads on until the client
// closes (kReadOn), or closes the connection itself. Returns all the client sent.
inline std::string serve(int listenFd, const std::vector<std::string>& answers, End end) {
  std::string got;
  const int fd = ::accept(listenFd, nullptr, nullptr);
  std::size_t next = 0;
  for (char c; (end == End::kReadOn || next < answers.size()) && ::recv(fd, &c, 1, 0) == 1;) {
    got += c;
    if (next < answers.size() && got.size() >= 4 &&
        got.compare(got.size() - 4, 4, "\r\n\r\n") == 0) {
      ::send(fd, answers[next].data(), answers[next].size(), MSG_NOSIGNAL);
      ++next;
    }
  }
  ::close(fd);
  return got;
}

inline std::string frame(char magic, char channel, const std::string& payload) {
  const auto n = static_cast<unsigned>(payload.size());
  return std::string{magic, channel, static_cast<char>(n >> 8), static_cast<char>(n)} + payload;
}

// Status line, "CSeq: <cseq>", the header lines, empty line, body.
inline std::string reply(const std::string& status, unsigned cseq, const std::string& headers = "",
                         const std::string& body = "") {
  return "RTSP/1.0 " + status + "\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers + "\r\n" +
         body;
}

// What the host saw: the stream header, "|" and the description's text; the
// packets (number `refusePacket`, from 1, refused); callback runs. Read
// `header` and `packets` once the session has stopped; packetCount() at any time.
struct HostLog : IRTPReceiver {
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (isFileHeader) header = std::string(data, length) + "|" + sdp->text;
    if (!isFileHeader) packets.emplace_back(data, length);
    return isFileHeader || packets.size() != refusePacket;
  }
  std::size_t packetCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return packets.size();
  }
  std::mutex mutex;
  std::string header;
  std::vector<std::string> packets;
  std::size_t refusePacket = 0;
  std::atomic<int> notes{0};
};

struct CoutCapture {  // routes std::cout into `text` while it lives
  CoutCapture() : old(std::cout.rdbuf(text.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(old); }
  std::ostringstream text;
  std::streambuf* old;
};

// A request as the session writes it: request line, CSeq, the other header lines, empty line.
inline std::string request(const std::string& line, unsigned cseq, const std::string& headers) {
  return line + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers + "\r\n";
}

// A video description with a stream header and the given control URL (a
// session-level one comes first and is not used).
inline std::string sdp(const std::string& control, const std::string& formats = "96") {
  return "v=0\r\na=control:*\r\nm=video 0 RTP/AVP " + formats +
         "\r\na=fmtp:96 packetization-mode=1;config=000001B0F5\r\na=control:" + control + "\r\n";
}
const std::string kSdp = sdp("trackID=1");
const std::string kHeader("\x00\x00\x01\xB0\xF5", 5);  // its config= value

// The handshake with 127.0.0.1:<port>/live (the answers do not depend on the
// port), CSeq 1 to 4, session "4711;timeout=60". The DESCRIBE reply carries
// `body` (with a Content-Length unless `withLength` is false); SETUP goes to
// `setupTarget` (default: the relative "trackID=1"), or is left out for "-".
struct Handshake {
  explicit Handshake(unsigned port, const std::string& body = kSdp, bool withLength = true,
                     std::string setupTarget = "") {
    const std::string agent = "User-Agent: (ORVE Streaming Media )\r\n", id = "4711;timeout=60";
    const std::string url = "Rtsp://127.0.0.1:" + std::to_string(port) + "/live";
    if (setupTarget.empty()) setupTarget = url + "/trackID=1";
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    add(request("OPTIONS " + url, 1, agent), reply("200 OK", 1, "Public: PLAY\r\n"));
    add(request("DESCRIBE " + url, 2, "Accept: application/sdp\r\n" + agent),
        reply("200 OK", 2, "Content-Type: application/sdp\r\n" + (withLength ? length : ""), body));
    echo.resize(echo.size() - body.size());  // of the body, the lines in its first 8192 bytes
    echo += body.substr(0, body.rfind('\r', 8191)) + "\r\n";
    const unsigned play = setupTarget == "-" ? 3 : 4;
    if (play == 4)
      add(request("SETUP " + setupTarget, 3, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"),
          reply("200 OK", 3, "Session: " + id + "\r\n"));
    add(request("PLAY " + url, play,
                "range: npt=0.000000-\r\nSession: " + (play == 4 ? id : "") + "\r\n"),
        reply("200 OK", play, "Session: " + id + "\r\n"));
    teardown = request("TEARDOWN " + url, play + 1, "Mission:" + id + "\r\n");
  }
  void add(const std::string& request, const std::string& answer) {
    answers.push_back(answer);
    sent.push_back((sent.empty() ? "" : sent.back()) + request);
    echo += request + answer;
  }
  std::vector<std::string> answers, sent;  // sent[i]: requests 0 to i in a row
  std::string teardown, echo;              // echo: what the session prints
};

// A session for 127.0.0.1:<port>/live against serve(answers, end): started
// (a second start while running is refused), given up to `waitSeconds` for
// its callback, stopped (and no longer running). Its HostLog records;
// timeouts of 1 s unless `real` (20 s and 5 s); `options` set before the
// start. The callback also keeps what lastFailure() said while it ran.
struct SessionRun {
  explicit SessionRun(const std::vector<std::string>& answers, End end = End::kReadOn,
                      int waitSeconds = 0, bool quiet = false, std::size_t refusePacket = 0,
                      bool real = false, const RTSPSessionOptions& options = RTSPSessionOptions()) {
    const int listenFd = listenLoopback(port);
    std::thread server([&] { received = serve(listenFd, answers, end); });
    CoutCapture out;
    log->refusePacket = refusePacket;
    d.initInfo("127.0.0.1", port, "live", 0, ACE_Time_Value(2, 0), 0);
    d.registeRTPReceiver(log);
    d.setOptions(options);
    d.setRecvTimeoutCallbackFun(
        [](void* arg) {
          SessionRun* const run = static_cast<SessionRun*>(arg);
          run->failureAtCallback = run->d.lastFailure();
          ++run->log->notes;
        },
        this);
    CRTSPDownloadTestPeer{d}.setTimeouts(real ? 20 : 1, real ? 5 : 1);
    started = d.startRTSPDownload(false, quiet);
    EXPECT_FALSE(d.startRTSPDownload(false, quiet));
    for (int ms = 0; ms < waitSeconds * 1000 && log->notes == 0; ++ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    running = d.isRunning();
    openBeforeStop = CRTSPDownloadTestPeer{d}.streamOpen();
    d.stop();
    EXPECT_FALSE(d.isRunning());
    echo = out.text.str();
    server.join();
    ::close(listenFd);
  }
  CRTSPDownload d;
  HostLog* log = new HostLog;  // owned by d
  RTSPFailure failureAtCallback;
  unsigned port = 0;
  bool started, running, openBeforeStop;  // the last two just before stop()
  std::string echo, received;             // what the session printed, what the server got
};

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_SESSION_SUPPORT_H_
