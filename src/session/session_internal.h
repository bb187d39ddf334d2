// Internal pieces shared by the files of the RTSP session.
#ifndef RTSPPULL_SESSION_SESSION_INTERNAL_H_
#define RTSPPULL_SESSION_SESSION_INTERNAL_H_

#include <string>

#include <rtsppull/rtsp_download.h>

#include "session/control_reader.h"

// The failure of one step of the handshake or of the receive thread. Thrown by
// value and caught by reference inside the session; it never reaches the host.
// The catching sites do not read the message: it only names the failure at
// the throw site (and in a debugger).
class myException {
 public:
  explicit myException(const std::string& message) : message_(message) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// The cause a failed read of the control connection gives a failure.
RTSP_CAUSE causeOf(ControlReadStatus status);

// Module constants, built when the library is loaded.
extern const std::string kRtspVersion;  // "RTSP/1.0"
extern const std::string kCrLf;         // "\r\n"

#endif  // RTSPPULL_SESSION_SESSION_INTERNAL_H_
