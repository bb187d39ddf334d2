// The RTSP session: one stream pulled from one RTSP server, interleaved on
// the RTSP connection (the default) or over UDP when the options ask for it.
//
// Threading: every public operation runs on the host's thread, one call at a
// time (lastFailure() may also be called from any thread). startRTSPDownload
// runs the whole handshake on that thread and then starts one receive
// thread, which hands every interleaved packet to the registered receiver
// until stop() or its first failure; with keep-alive on it also sends the
// keep-alives and answers requests of the server (one lock keeps them and
// stop()'s TEARDOWN apart on the wire). stop() joins it.
//
// Ownership: the session owns the receiver passed to registeRTPReceiver and
// deletes it when another one is registered and when the session is
// destroyed.
//
// Diagnostics: requests, reply lines, SDP lines and fixed status messages are
// written to std::cout, or given line by line to the diagnostics function of
// the session's options when one is set.
#ifndef RTSPPULL_RTSP_DOWNLOAD_H_
#define RTSPPULL_RTSP_DOWNLOAD_H_

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>
#include <cstdint>

#include <ace/SOCK_Stream.h>
#include <ace/Thread.h>
#include <ace/Thread_Mutex.h>
#include <ace/Time_Value.h>

#include <rtsppull/export.h>
#include <rtsppull/rtp_receiver.h>
#include <rtsppull/sdp.h>
#include <rtsppull/session_options.h>
#include <rtsppull/session_stats.h>
#include <rtsppull/tracks.h>

class RtspAuthenticator;
class ControlReader;
enum class ControlReadStatus;
struct ControlReadWait;
struct pollfd;

// The host's notification of a failed handshake or of the end of reception.
typedef void (*RecvTimeoutCallback)(void*);

class RTSPPULL_API CRTSPDownload {
 public:
  // Transport selector of makeVideoSetup; the session always uses 200.
  enum COMM_TYPE { COMM_TCP_INTERLEAVED = 200 };

  // An idle session: port 554, no receiver, no callback.
  CRTSPDownload();
  // Stops the session (see stop), then deletes the registered receiver.
  virtual ~CRTSPDownload();
  CRTSPDownload(const CRTSPDownload&) = delete;
  CRTSPDownload& operator=(const CRTSPDownload&) = delete;

  // Stores the server (host name or dotted address), its TCP port, the
  // stream path (without a leading "/") and the connect timeout; a zero
  // timeout means one immediate attempt. localPortBase: the first local UDP
  // port tried when the options ask for UDP (0: wherever CZudezPortFounder
  // finds a pair); otherwise unused. reserved has no effect. Host thread,
  // while not running.
  void initInfo(const std::string& serverAddr, unsigned int serverPort,
                const std::string& streamPath, unsigned int localPortBase,
                const ACE_Time_Value& connectTimeout, unsigned int reserved);

  // Takes ownership of `receiver` (heap-allocated). A different receiver
  // deletes the one held; the same pointer keeps it; null deletes it. Must
  // not be called while the session is running.
  void registeRTPReceiver(IRTPReceiver* receiver);

  // Stores the callback and its argument (either may be null). The callback
  // runs at most once in the life of the session, on the host thread after a
  // failed handshake or on the receive thread when reception ends on a
  // failure (possibly while the host is inside stop()). It must not call
  // stop(), setRecvTimeoutCallbackFun or destroy the session.
  void setRecvTimeoutCallbackFun(RecvTimeoutCallback callback, void* arg);

  // Runs OPTIONS, DESCRIBE, SETUP (video track, interleaved 0-1 unless the
  // options ask for UDP) and PLAY on the calling thread, hands the receiver
  // the stream file header once and starts the receive thread. With
  // RTSP_TRANSPORT_UDP_THEN_TCP it may wait up to 3 s after PLAY for the
  // first packet over UDP (and then run the handshake again over TCP). True when PLAY was accepted.
  // False when the session is already running, when no receiver is registered (nothing changes
  // then), or when a step failed (the connection is closed and, unless quietOnFailure, the callback
  // runs); with options().failOnRefusedHeader, also when the receiver refuses the stream header
  // (TEARDOWN is sent first). The session is running from here until stop(), whatever the result.
  // When the system refuses the receive thread the result is still true, and the session behaves
  // as if reception had ended at once: lastFailure() is {RTSP_STEP_RECEIVE, RTSP_CAUSE_RESOURCES},
  // the connection is shut down and the callback runs (whatever quietOnFailure says). tcpOnly has
  // no effect (the transport comes from the options).
  bool startRTSPDownload(bool tcpOnly, bool quietOnFailure);

  // Sends TEARDOWN, closes the connection (waking a blocked receive thread at
  // once) and joins the receive thread. Always true; does nothing while idle.
  // Afterwards lastFailure() says why the session ended: {RTSP_STEP_RECEIVE,
  // RTSP_CAUSE_STOPPED, "stopped by the host"} when reception was running
  // and had not failed (recorded before the thread is woken, so a failure
  // callback that runs during stop() reads it too); otherwise the failure of
  // the start or of reception, unchanged.
  bool stop();

  bool isRunning() const;

  // Replaces the session's options (see session_options.h). Host thread,
  // while not running: false then, and nothing changes. The options persist
  // across starts until set again.
  bool setOptions(const RTSPSessionOptions& options);
  const RTSPSessionOptions& options() const { return options_; }

  // Why the last start failed or why reception ended; step RTSP_STEP_NONE
  // while nothing has failed since the last start began. Its cause is for
  // programs to switch on. Set before the failure callback runs, so the
  // callback always reads why it was called. Any thread, at any time,
  // including from the failure callback.
  RTSPFailure lastFailure() const;
  // The figures of the stream since the last start began (see
  // session_stats.h). Any thread, at any time; cheap enough to call every
  // second.
  RTSPSessionStats stats() const;
  // The tracks the last start set up, video first; empty before a start
  // succeeded. Host thread.
  std::vector<RTSPTrack> tracks() const;
  // The wall-clock time (NTP, seconds since 1900 in 32.32 fixed point) of
  // the RTP timestamp `rtpTime` of track `track`, from the last RTCP sender
  // report of that track (RFC 3550 6.4.1), the 32-bit wrap of RTP
  // timestamps handled. False while no sender report has arrived for it.
  // Any thread.
  bool wallClock(int track, std::uint32_t rtpTime, std::uint64_t* ntpTime) const;

 private:
  friend class CRTSPDownloadTestPeer;

  struct RTSPInfo {
    RTSPInfo();
    std::string serverAddr;
    unsigned int serverPort;
    std::string streamPath;
    unsigned int cseq;
    std::string sessionId;
    int contentLength;
  };

  // The receive thread's own state (receive_thread.cpp), and what a track
  // received over UDP keeps (udp_state.h).
  struct ReceiveState;
  struct UdpState;
  // Thrown inside the handshake when a reply redirects and the options
  // allow following it.
  struct Redirect {
    std::string location;
  };

  // Control connection (connection.cpp). Reply lines, bodies and, after
  // PLAY, interleaved frames all come through control_.
  bool connectRtspServer();
  bool sendRtspCommand(const std::string& request);
  // The next reply line through its CR LF; empty on failure, with
  // readProblem_ and readCause_ set.
  std::string streamGetLine();
  // The waits of a handshake read: each up to `eachSec`, with bounded
  // replies also within the step's deadline.
  ControlReadWait replyWait(int eachSec) const;
  // Sets readProblem_ and readCause_ for a failed read; `timedOut` is the
  // text of a wait that lasted its whole time.
  void noteReadProblem(ControlReadStatus status, const std::string& timedOut);
  // Shuts the control connection down in both directions without releasing
  // the descriptor, so that a read blocked on it in another thread returns.
  void shutdownStream();
  // Releases the descriptor. Only the host thread calls it, and only while
  // no receive thread is running.
  void closeStream();

  // Request builders.
  std::string makeOptions();
  std::string makeDescribe();
  bool makeVideoSetup(std::string& request, COMM_TYPE type);
  std::string makePlay();
  std::string makeTearDown();
  // With options: the SETUP of standard requests (host thread), the
  // keep-alive request (receive thread, under sendMutex_), and the URL of
  // PLAY, keep-alives and TEARDOWN.
  bool makeStandardVideoSetup(std::string& request, COMM_TYPE type);
  std::string makeKeepAlive();
  std::string aggregateUrl() const;

  // Reply parsing.
  bool getReply();
  int getReplyCode(const std::string& statusLine);
  std::string searchTag(const std::string& text, const std::string& tag);

  // SDP reply and stream file header.
  bool recvSDPReply();
  void SaveFileHeader(const std::string& value);

  // Handshake.
  bool TCPDownload(bool quietOnFailure);

  // Handshake pieces beyond the default requests (handshake.cpp). All on
  // the host thread, inside startRTSPDownload; failures throw myException
  // with lastFailure_ recorded first.
  bool runHandshake();
  void exchange(RTSP_STEP step, const std::string& firstRequest);
  // The request with an Authorization header once a challenge was accepted.
  // Also used after the handshake, under sendMutex_, by the receive thread
  // (keep-alives) and stop() (TEARDOWN).
  std::string withAuthorization(const std::string& request);
  [[noreturn]] void failStep(RTSP_STEP step, RTSP_CAUSE cause, const std::string& detail);
  // The same with the status of the last reply.
  [[noreturn]] void failReply(RTSP_STEP step, RTSP_CAUSE cause, const std::string& detail);
  void skipReplyBody();
  std::string requestUrl() const;
  void takeDescription();
  // A TEARDOWN during the start, echoed; a failed send is ignored.
  void sendTeardownNow();

  // The receive thread (receive_thread.cpp), one for both transports. Its
  // pieces run on it alone; each throws myException, with lastFailure_
  // recorded, when reception must end.
  //   receiveLoop: until stop() (returns) or a failure (throws).
  //   serviceControlInput: hands on every whole item buffered from the
  //     control connection (frames to the receiver; RTSP replies skipped
  //     and requests answered when they are items); false when stopFlag_
  //     was found set between two items.
  //   readControlInput: one receive of whatever the connection holds;
  //     false when nothing was there.
  //   readDatagrams: the datagrams waiting on one UDP socket of a track,
  //     handed on; false when none came.
  //   nextWakeUp: when the current wait must end (the receive timeout, the
  //     next keep-alive or receiver report).
  static ACE_THR_FUNC_RETURN receiveThreadEntry(void* arg);
  void receiveLoop(ReceiveState& state);
  bool serviceControlInput(ReceiveState& state);
  bool readControlInput(ReceiveState& state);
  bool readDatagrams(ReceiveState& state, UdpState& udp, bool rtcp);
  void handToReceiver(ReceiveState& state, const char* data, std::size_t size);
  // An interleaved frame on `channel`, by its track (tracks.cpp).
  void handFrameOn(ReceiveState& state, unsigned char channel, const char* data, std::size_t size);
  // A packet of `track` (RTCP when `rtcp`): its sender report noted, then to
  // OnTrackData, or to OnRecvData for the video track without a track
  // receiver; other tracks' packets are dropped then.
  void handTrackPacket(ReceiveState& state, int track, bool rtcp, const char* data,
                       std::size_t size);
  std::chrono::steady_clock::time_point nextWakeUp(const ReceiveState& state) const;
  void sendKeepAlive(ReceiveState& state);
  void answerServerRequest(const std::string& head);
  // Sends `text` on the control connection (under sendMutex_); fails
  // reception with `failure` and the error when it does not get out.
  void sendDuringReception(const std::string& text, const char* failure);
  [[noreturn]] void failReceive(RTSP_CAUSE cause, const std::string& detail);

  // The start's way to make the receive thread (ACE_Thread::spawn; tests
  // put a failing one here) and the receive loop's and the UDP setup's way
  // to wait (::poll).
  using SpawnFunction = int (*)(ACE_THR_FUNC entry, void* arg, ACE_hthread_t* handle);
  using PollFunction = int (*)(pollfd* fds, unsigned long count, int timeoutMs);
  static int spawnReceiveThread(ACE_THR_FUNC entry, void* arg, ACE_hthread_t* handle);

  // Diagnostics: to std::cout exactly as given, or to options_.diagnostics
  // one line at a time without its line end. Any thread; serialised.
  void say(const std::string& text);
  // text, a line end and a flush (std::endl).
  void sayLine(const std::string& text);
  // A request, with the credentials of an Authorization header hidden.
  void sayRequest(const std::string& request);

  // Stores lastFailure_ (under failureMutex_); with `keepEarlier`, only
  // while nothing has failed. Any thread.
  void recordFailure(RTSP_STEP step, RTSP_CAUSE cause, const std::string& detail,
                     int statusCode = 0, const std::string& statusLine = std::string(),
                     bool keepEarlier = false);

  // UDP transport (udp_session.cpp on the host thread, receive_thread.cpp on
  // the receive thread). UdpState lives from the SETUP over UDP until stop()
  // (after the join) or a failed or fallen-back handshake closes it.
  struct UdpStateDeleter {
    void operator()(UdpState* state) const;
  };
  // The SETUP of the video track with the transport the options ask for.
  void setupVideo(const std::string& interleavedSetup);
  // Right after PLAY over UDP: opens the way for the media through a NAT
  // and, when the options allow falling back, waits up to 3 s for the first
  // RTP packet. False when none came: TEARDOWN has been sent, the connection
  // and the sockets are closed, and the handshake must run again over TCP.
  bool udpAfterPlay();
  [[noreturn]] void failUdpWait(int error);
  void closeUdp();
  // Sets transportInUse_, and the transport lastFailure() reports while
  // nothing has failed. Host thread.
  void useTransport(RTSP_TRANSPORT transport);
  bool udpInUse() const { return static_cast<bool>(udp_); }

  // Camera tolerance and the stream's figures (camera.cpp). CameraState
  // lives as long as the session; its stats are reset at every start.
  struct CameraState;
  struct CameraStateDeleter {
    void operator()(CameraState* state) const;
  };
  // `request` with a User-Agent header when the options ask for one on
  // every request and it has none.
  std::string withUserAgent(const std::string& request) const;
  // Tolerant session, host thread: interleaved frames waiting before the
  // next reply line are set aside; after each complete reply the Session
  // id is settled and, from the SETUP reply, the interleaved channels.
  // takeEarlyFrames is false when a wait failed (readProblem_ says why).
  bool takeEarlyFrames();
  void afterReply();
  // After a handshake: how the stream's packets are judged and counted.
  void prepareStreamFigures();
  // Receive thread: whether a frame (TCP) is handed to the receiver,
  // counted either way; the frames set aside during the handshake; a reply
  // of the server during reception (to a keep-alive).
  bool admitFrame(unsigned char channel, const char* data, std::size_t size,
                  std::chrono::steady_clock::time_point arrival);
  void replayEarlyFrames(ReceiveState& state);
  void onReplyDuringReception(const std::string& head);
  void beforeKeepAlive();
  // The first local UDP port to try at this start.
  unsigned int udpPortBase() const;
  // Tracks (tracks.cpp), on the host thread during the handshake.
  //   beginTracks: the description's media sections, no track yet.
  //   addTrack: a track set up; when `interleaved`, on the channels the
  //     SETUP reply names, else on `rtpChannel` and `rtcpChannel`.
  //   setupOtherTracks: after the video SETUP, the SETUP of the tracks the
  //     options ask for besides video; a refused one is dropped.
  void beginTracks();
  void addTrack(const SDPMedia& media, bool interleaved, int rtpChannel, int rtcpChannel);
  void setupOtherTracks();
  // The UDP pieces of a SETUP (udp_session.cpp): the socket pair bound for
  // a track, and the reply's transport applied to it; false when the server
  // chose interleaved delivery instead.
  std::unique_ptr<UdpState, UdpStateDeleter> openUdpTrack(int track, std::uint32_t clockRate);
  bool applyUdpReply(UdpState& udp);
  // The interleaved channels of the last SETUP reply's Transport (-1: none).
  std::pair<int, int> replyChannels() const;

  // Start and stop.
  void closeAllThread();

  void notifyFun();

  RTSPInfo info_;
  SDP sdp_;
  // The control connection; after PLAY the receive thread reads the
  // interleaved stream from it. Its descriptor is released only on the host
  // thread, and never while a receive thread may still use it.
  ACE_SOCK_Stream rtspStream_;
  // The one reader of rtspStream_, attached at every connect.
  std::unique_ptr<ControlReader> control_;
  std::unique_ptr<IRTPReceiver> ptrRTPReceiver_;
  // Host thread only.
  bool running_;
  ACE_Time_Value connectTimeout_;
  // Written by the host thread, read by the receive thread between frames.
  std::atomic<bool> stopFlag_;
  // Host thread only: the receive thread, while threadRunning_.
  ACE_hthread_t thread_;
  bool threadRunning_;
  SpawnFunction spawnThread_;
  PollFunction poll_;
  // Guarded by notifyMutex_.
  RecvTimeoutCallback recvTimeoutCallback_;
  void* callbackArg_;
  // Set once the callback has run; never cleared. Read without the lock
  // first, hence atomic.
  std::atomic<bool> notified_;
  ACE_Thread_Mutex notifyMutex_;
  // Host thread only; read by the receive thread while it runs (the options
  // cannot change then).
  RTSPSessionOptions options_;
  // Guarded by failureMutex_.
  RTSPFailure lastFailure_;
  mutable ACE_Thread_Mutex failureMutex_;
  // Serialises the sends that may overlap once the receive thread runs:
  // stop()'s TEARDOWN and the thread's keep-alives and answers. Also guards
  // info_.cseq from then on.
  ACE_Thread_Mutex sendMutex_;
  // Serialises diagnostics; diagPending_ holds a line not yet ended.
  ACE_Thread_Mutex diagMutex_;
  std::string diagPending_;
  // Set by stop() before it shuts the connection down: the receive thread
  // then ends without recording a failure.
  std::atomic<bool> stopping_;
  // What initInfo gave; info_ starts from it at every start (a redirect
  // changes info_ for that start only).
  std::string initialAddr_;
  unsigned int initialPort_;
  std::string initialPath_;
  // The last reply read by getReply (host thread): status code and line
  // (without CR LF), the head (start line and header lines, for header
  // lookup; at most 100 lines kept), and why its reading (or the connect)
  // failed (empty when it did not).
  int replyCode_;
  std::string replyStatusLine_;
  std::string replyHead_;
  std::string readProblem_;
  RTSP_CAUSE readCause_;
  // Bounded replies: when the current handshake step must be over. The
  // step under way (for failures thrown from deep inside it) and the
  // redirects followed in this start.
  std::chrono::steady_clock::time_point stepDeadline_;
  RTSP_STEP currentStep_;
  int redirectCount_;
  // Decided by the handshake, read by the receive thread: the URL PLAY used
  // (and keep-alives and TEARDOWN use), the base of relative control URLs,
  // the keep-alive method, the timeout the server announced (-1: none).
  std::string playUrl_;
  std::string contentBase_;
  std::string keepAliveMethod_;
  int sessionTimeoutSec_;
  // The first local UDP port to try (initInfo's localPortBase); host thread.
  unsigned int localPortBase_;
  // The transport of the current start: UDP from the start when the options
  // ask for it, TCP after a fallback. Read by recordFailure on any thread.
  std::atomic<RTSP_TRANSPORT> transportInUse_;
  // Host thread; the receive thread uses it while it runs. udp_ is the
  // video track's, udpOthers_ those of the other tracks set up over UDP.
  std::unique_ptr<UdpState, UdpStateDeleter> udp_;
  std::vector<std::unique_ptr<UdpState, UdpStateDeleter>> udpOthers_;
  // The description's media sections and the tracks set up, made by the
  // handshake (host thread); routes_ (interleaved channel to track * 2 +
  // 1 for RTCP, -1: none) and trackReceiver_ (the receiver as a track
  // receiver, when the options ask for more than video and it is one) are
  // read by the receive thread while it runs.
  std::vector<SDPMedia> media_;
  std::vector<RTSPTrack> tracks_;
  std::array<short, 256> routes_;
  IRTPTrackReceiver* trackReceiver_;
  // The last sender report of each track, and its clock rate (0: unknown).
  // Guarded by clockMutex_: written by the receive thread, read by any.
  struct TrackClock {
    bool reported = false;
    std::uint64_t ntpTime = 0;
    std::uint32_t rtpTime = 0;
    std::uint32_t clockRate = 0;
  };
  std::vector<TrackClock> clocks_;
  mutable ACE_Thread_Mutex clockMutex_;
  // Present while authenticating (options_.user not empty); made at every
  // start and after every redirect. Used by the handshake, then by the
  // receive thread and stop() under sendMutex_.
  std::unique_ptr<RtspAuthenticator> auth_;
  // Never null.
  std::unique_ptr<CameraState, CameraStateDeleter> camera_;
  // Receive timeout in seconds of the reply lines and of every read of the
  // receive thread: 20.
  int recvTimeoutSec_;
  // Receive timeout in seconds of each read of the DESCRIBE body: 5.
  int sdpTimeoutSec_;
};

#endif  // RTSPPULL_RTSP_DOWNLOAD_H_
