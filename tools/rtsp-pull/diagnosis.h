// Explaining a failed handshake.
//
// The library reports a failed start only as `false`, but it echoes every
// request it sends and every reply line it reads on std::cout. The tool
// captures that text (library_output.h) and reads it here: the last request
// sent and the status line of its reply tell which step failed and how. When
// no request was sent at all, the connection failed, and a TCP connect of
// our own tells a refused connection from an unreachable or unknown host.
#ifndef RTSP_PULL_DIAGNOSIS_H_
#define RTSP_PULL_DIAGNOSIS_H_

#include <string>

#include <rtsppull/session_options.h>

#include "url.h"

namespace rtsp_pull {

// Follows the library's diagnostic text line by line.
class HandshakeTranscript {
 public:
  // One line as written, without its line end.
  void addLine(const std::string& line);

  // The method of the last request the library sent ("OPTIONS", "DESCRIBE",
  // "SETUP", "PLAY"); empty when none was sent.
  const std::string& lastRequest() const { return lastRequest_; }
  // The first line of the reply to that request; empty when none came.
  const std::string& lastStatusLine() const { return lastStatus_; }

 private:
  enum class State { kIdle, kRequest, kAwaitStatus, kReply };
  State state_ = State::kIdle;
  std::string lastRequest_;
  std::string lastStatus_;
};

struct ConnectProbe {
  enum class Result { kNotTried, kUnresolved, kRefused, kTimedOut, kUnreachable, kConnected };
  Result result = Result::kNotTried;
  std::string detail;  // system error text, where there is one
};

// Tries a TCP connection to host:port within timeoutMs and closes it at once.
ConnectProbe probeConnect(const std::string& host, unsigned int port, int timeoutMs);

// The status code of an "RTSP/1.0 NNN reason" line; 0 for anything else.
int rtspStatusCode(const std::string& statusLine);

// One or two sentences for the user: which step failed, and the likely cause.
std::string explainHandshakeFailure(const HandshakeTranscript& transcript, const RtspUrl& url,
                                    const ConnectProbe& probe);

// One or two sentences for the user from the session's own account of a
// failed start or an ended stream. `user`: the user name the session
// authenticated as; empty when none was given.
std::string explainFailure(const RTSPFailure& failure, const RtspUrl& url, const std::string& user);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_DIAGNOSIS_H_
