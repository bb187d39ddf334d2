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
#include <rtsppull/tracks.h>

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

// How messages name a step: the request's method for OPTIONS, DESCRIBE,
// SETUP and PLAY, a few words for the others ("the start" for
// RTSP_STEP_NONE). The text is static; the caller does not free it.
inline const char* RTSPStepName(RTSP_STEP step) {
  switch (step) {
    case RTSP_STEP_NONE:
      return "the start";
    case RTSP_STEP_CONNECT:
      return "the connection";
    case RTSP_STEP_OPTIONS:
      return "OPTIONS";
    case RTSP_STEP_DESCRIBE:
      return "DESCRIBE";
    case RTSP_STEP_SDP:
      return "reading the session description";
    case RTSP_STEP_SETUP:
      return "SETUP";
    case RTSP_STEP_PLAY:
      return "PLAY";
    case RTSP_STEP_RECEIVE:
      return "reception";
  }
  return "the start";
}

// How the media packets travel.
enum RTSP_TRANSPORT {
  RTSP_TRANSPORT_TCP,          // interleaved on the RTSP connection (the default)
  RTSP_TRANSPORT_UDP,          // RTP and RTCP on a local UDP port pair
  RTSP_TRANSPORT_UDP_THEN_TCP  // UDP; interleaved TCP when UDP is refused or silent
};

// The kind of a failure, for programs to switch on; RTSPFailure::detail says
// the same in words, with particulars.
enum RTSP_CAUSE {
  RTSP_CAUSE_NONE,               // nothing has failed
  RTSP_CAUSE_REFUSED,            // the server refused the TCP connection
  RTSP_CAUSE_NAME_NOT_RESOLVED,  // the server's host name did not resolve
  RTSP_CAUSE_TIMED_OUT,          // the connect, a reply or a handshake step took too long
  RTSP_CAUSE_NETWORK,            // a send or receive failed (reset, unreachable, ...)
  RTSP_CAUSE_AUTH_NEEDED,        // 401, and no credentials were given
  RTSP_CAUSE_AUTH_FAILED,        // 401 to the credentials, or a challenge that cannot be answered
  RTSP_CAUSE_NOT_FOUND,          // 404: no such stream
  RTSP_CAUSE_TRANSPORT_REFUSED,  // 461, or a SETUP reply without a usable transport
  RTSP_CAUSE_REDIRECT,           // a redirect that is not followed (off, too many, not rtsp://)
  RTSP_CAUSE_SERVER_ERROR,       // any other status than 200
  RTSP_CAUSE_MALFORMED_REPLY,    // a reply or description that breaks the limits or cannot be read
  RTSP_CAUSE_CLOSED_BY_SERVER,   // the server closed the connection
  RTSP_CAUSE_NO_DATA,            // no media for the receive timeout
  RTSP_CAUSE_BAD_DATA,           // bytes in the stream that are neither frames nor RTSP messages
  RTSP_CAUSE_RECEIVER_REFUSED,   // the host's receiver refused (or threw on) a packet or the header
  RTSP_CAUSE_STOPPED,            // stop() ended reception
  RTSP_CAUSE_RESOURCES,          // the system refused a socket, a port pair or the receive thread
  RTSP_CAUSE_INTERNAL,           // an unexpected exception inside the library
  // With RTSPSessionOptions::tls: the TLS handshake failed (no TLS server,
  // no common protocol version or cipher), or the options ask for what TLS
  // or the HTTP tunnel cannot carry (UDP media).
  RTSP_CAUSE_TLS,
  // The server's certificate was refused; the detail names the check and
  // the certificate's SHA-256 fingerprint.
  RTSP_CAUSE_CERT_EXPIRED,        // expired or not yet valid
  RTSP_CAUSE_CERT_UNTRUSTED,      // self-signed, or signed by an unknown CA
  RTSP_CAUSE_CERT_NAME_MISMATCH,  // issued for another host name or address
  RTSP_CAUSE_CERT_PIN_MISMATCH,   // not the certificate pinned by tlsFingerprint
};

// How a TLS session decides whether to trust the server's certificate.
enum RTSP_TLS_CHECK {
  // The chain up to a CA of the system's store (or of tlsCaFile), and the
  // host name (or the IP address) the session connects to.
  RTSP_TLS_CHECK_CHAIN,
  // Exactly the certificate whose SHA-256 fingerprint tlsFingerprint holds,
  // whoever signed it and whatever its dates and names say.
  RTSP_TLS_CHECK_PIN,
  // Any certificate: no protection against an impostor; the diagnostics
  // carry a warning at every connect.
  RTSP_TLS_CHECK_NONE,
};

// Why the last start failed or why reception ended.
struct RTSPFailure {
  RTSP_STEP step = RTSP_STEP_NONE;
  RTSP_CAUSE cause = RTSP_CAUSE_NONE;
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
  // 0: the control connection is read as soon as bytes come, as before
  // options existed. N > 0 (at most 1000): after a receive that emptied it,
  // the connection is not read again for up to N ms, so that one receive
  // takes several frames: a host with many streams in one process trades up
  // to N ms of delay for fewer wake-ups. The rest is halved while what comes
  // during it would fill more than a quarter of the receive buffer, so a
  // fast stream is read sooner rather than held back. stop(), the server
  // closing the connection, keep-alives and the silence limit still act at
  // once. Over TLS or the HTTP tunnel the connection is read at once.
  int interleavedRestMs = 0;
  // false: what the receiver answers to the stream header is ignored, as
  // before options existed. true: a false answer fails the start: TEARDOWN
  // is sent, the connection closed, lastFailure() is {RTSP_STEP_PLAY,
  // RTSP_CAUSE_RECEIVER_REFUSED}, the callback runs unless quietOnFailure,
  // and startRTSPDownload returns false.
  bool failOnRefusedHeader = false;
  // Which tracks are set up (see tracks.h). RTSP_TRACKS_VIDEO: the video
  // track alone, as before options existed.
  RTSP_TRACKS tracks = RTSP_TRACKS_VIDEO;

  // false: only OPTIONS and DESCRIBE carry a User-Agent header, as before
  // options existed. true: every request does (SETUP, PLAY, keep-alives and
  // TEARDOWN too); some cameras answer 401 to any request without one.
  bool userAgentOnAllRequests = false;
  // true: the control conversation is read as cameras write it:
  // - the session id the SETUP reply gave is kept for the rest of the
  //   session, whatever later replies say; the Session header is found in
  //   any case and spacing;
  // - interleaved frames that come before or among the lines of a reply
  //   (RTCP ahead of the PLAY reply) are taken out of the way; their RTP
  //   reaches the receiver after the stream header, in order;
  // - a keep-alive answered with an error status (or not answered before
  //   the next is due) does not end anything: it is counted, and a
  //   GET_PARAMETER keep-alive gives way to OPTIONS from then on;
  // - description lines may end with a bare LF, and lose the white space
  //   around them.
  bool tolerantSession = false;
  // true: only the video stream reaches the receiver:
  // - packets on the video RTP channel (the one the SETUP reply names, over
  //   TCP) or socket whose payload type the description does not announce
  //   for video, or which are no RTP version 2 packets, are dropped and
  //   counted (the type of the stream's first packet counts as announced:
  //   some cameras announce one type and send another); frames on channels
  //   of no track set up are dropped;
  // - over UDP, media are taken from any port of the server (the RTSP
  //   server's address or the source the SETUP reply names), each start
  //   binds another port pair than the start before, and one SSRC is kept
  //   to (the announced one, else the first): a stale stream of an earlier
  //   session is dropped, while a new SSRC that keeps coming alone takes
  //   over after 64 packets.
  bool tolerantMedia = false;

  // false: plain TCP. true: the control connection, and the interleaved
  // media on it, run over TLS 1.2 or 1.3, with the server's host name sent
  // (SNI) and its certificate checked as tlsCheck says. Media over UDP is
  // refused with RTSP_CAUSE_TLS (no SRTP).
  bool tls = false;
  RTSP_TLS_CHECK tlsCheck = RTSP_TLS_CHECK_CHAIN;
  // RTSP_TLS_CHECK_CHAIN: a PEM file of the CAs to trust instead of the
  // system's store; empty: the system's store.
  std::string tlsCaFile;
  // RTSP_TLS_CHECK_PIN: the certificate's SHA-256 fingerprint, 64 hex
  // digits, with or without colons, in any case.
  std::string tlsFingerprint;
  // false: RTSP straight on the connection. true: RTSP tunnelled through
  // HTTP: a GET connection carries the replies and the interleaved media, a
  // POST connection the requests in Base64, both sharing one
  // x-sessioncookie (over TLS when tls is on too). Media over UDP is refused.
  bool httpTunnel = false;

  // keepAliveSec -1, standardRequests true, maxRedirects 3, boundedReplies
  // true, receiveBufferBytes 256 KiB, failOnRefusedHeader true,
  // userAgentOnAllRequests, tolerantSession and tolerantMedia true, tracks
  // RTSP_TRACKS_VIDEO_AUDIO; everything else at its default.
  static RTSPSessionOptions recommended();
};

#endif  // RTSPPULL_SESSION_OPTIONS_H_
