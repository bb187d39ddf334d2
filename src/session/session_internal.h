// Internal pieces shared by the files of the RTSP session.
#ifndef RTSPPULL_SESSION_SESSION_INTERNAL_H_
#define RTSPPULL_SESSION_SESSION_INTERNAL_H_

#include <chrono>
#include <cstddef>
#include <string>

#include <rtsppull/rtsp_download.h>

#include "session/interleaved_reader.h"

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

// The receive thread's own state: the reader of the control connection,
// the string each packet is handed on in, and the keep-alive schedule. Made
// by the receive thread at its start and used by it alone.
struct CRTSPDownload::ReceiveState {
  ReceiveState(std::size_t capacity, bool rtspMessages) : reader(capacity, rtspMessages) {}
  InterleavedReader reader;
  // The receiver gets it by const reference, valid only during the call, so
  // one string serves every packet and its capacity is reused.
  std::string packet;
  // The last receive that brought bytes, and (keep-alive on) the last
  // frame: with keep-alive on, replies to keep-alives keep the connection
  // busy, so only frames count as data for the receive timeout.
  std::chrono::steady_clock::time_point lastData;
  std::chrono::steady_clock::time_point lastFrame;
  // Zero duration: no keep-alive.
  std::chrono::steady_clock::duration keepAliveEvery{};
  std::chrono::steady_clock::time_point nextKeepAlive;
};

// Module constants, built when the library is loaded.
extern const std::string kRtspVersion;  // "RTSP/1.0"
extern const std::string kCrLf;         // "\r\n"

#endif  // RTSPPULL_SESSION_SESSION_INTERNAL_H_
