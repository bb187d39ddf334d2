// Options of an RTSP session beyond its default behaviour, and the reason a
// session failed.
//
// Every option is off by default: a session whose options were never set (or
// were set to a default-constructed RTSPSessionOptions) puts the same bytes
// on the wire and the same text on std::cout as one built before options
// existed. RTSPSessionOptions::recommended() turns on what real cameras need.
#ifndef RTSPPULL_SESSION_OPTIONS_H_
#define RTSPPULL_SESSION_OPTIONS_H_

#include <functional>
#include <string>

#include <rtsppull/export.h>

// The step of a session at which something failed.
enum RTSP_STEP {
  RTSP_STEP_NONE,     // nothing has failed
  RTSP_STEP_CONNECT,  // the TCP connect (or a redirect's connect)
  RTSP_STEP_OPTIONS,
  RTSP_STEP_DESCRIBE,  // the DESCRIBE request and its reply's status and headers
  RTSP_STEP_SDP,       // the DESCRIBE reply's body
  RTSP_STEP_SETUP,
  RTSP_STEP_PLAY,
  RTSP_STEP_RECEIVE  // reception after PLAY
};

// How the media packets travel.
enum RTSP_TRANSPORT {
  RTSP_TRANSPORT_TCP,          // interleaved on the RTSP connection (the default)
  RTSP_TRANSPORT_UDP,          // RTP and RTCP on a local UDP port pair
  RTSP_TRANSPORT_UDP_THEN_TCP  // UDP; interleaved TCP when UDP is refused or silent
};

// Why the last start failed or why reception ended.
struct RTSPFailure {
  RTSP_STEP step = RTSP_STEP_NONE;
  int statusCode = 0;      // the RTSP status of the failing reply; 0 when there was none
  std::string statusLine;  // that reply's first line without its CR LF; empty when none
  std::string detail;      // a short English text, e.g. "connection refused"
  RTSP_TRANSPORT transport = RTSP_TRANSPORT_TCP;  // the transport in use at the time
};

struct RTSPPULL_API RTSPSessionOptions {
  // Empty user: no authentication; a 401 fails the step, as before options
  // existed. Both are passed unescaped; the password never appears in the
  // diagnostics.
  std::string user;
  std::string password;
  // 0: nothing is sent during playback. -1: every half of the timeout the
  // server announces in its Session header (60 s when it announces none), at
  // least every 1 s. N > 0: every N seconds.
  int keepAliveSec = 0;
  // false: the default requests ("Rtsp://" URLs, the default SETUP target
  // and Session header). true: "rtsp://" URLs, RFC 2326 control URL
  // resolution, the session id alone in Session headers, escaped paths.
  bool standardRequests = false;
  // 0: a 3xx reply fails the step. N: follow Location up to N times.
  int maxRedirects = 0;
  // true: a reply line over 8 KiB, over 100 header lines, or a handshake step
  // taking over 20 s in all fails that step.
  bool boundedReplies = false;
  // Receives the diagnostic text one line at a time, without its line end.
  // Empty: the text goes to std::cout, as before options existed. Called on
  // the host thread during the handshake and on the receive thread
  // afterwards, never by two threads at once; must not call into the session
  // except lastFailure().
  std::function<void(const std::string& line)> diagnostics;
  // Media transport. TCP: interleaved on the RTSP connection (the default).
  RTSP_TRANSPORT transport = RTSP_TRANSPORT_TCP;
  // true: every start installs the ordered-delivery receiver implementation
  // (RTP_RECEIVER_ORDERED) instead of the pass-through one.
  bool reorder = false;
  // 0: the control connection's receive buffer is 32 KiB, set after the
  // connect, as before options existed. N > 0: a receive buffer of N bytes is
  // asked for before the connect, so the TCP window can grow to it (the
  // kernel may grant more, or cap it at net.core.rmem_max). Only the control
  // connection; interleaved media travels on it. UDP media sockets always ask
  // for 2 MiB.
  int receiveBufferBytes = 0;

  // keepAliveSec -1, standardRequests true, maxRedirects 3, boundedReplies
  // true, receiveBufferBytes 256 KiB; everything else at its default.
  static RTSPSessionOptions recommended();
};

#endif  // RTSPPULL_SESSION_OPTIONS_H_
