// Records the video and audio of one RTSP stream to files (see Recorder).
#ifndef RTSP_PULL_RECORDER_H_
#define RTSP_PULL_RECORDER_H_

#include <sys/uio.h>

#include <chrono>
#include <deque>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rtsppull/sdp.h>
#include <rtsppull/tracks.h>

#include "annexb_writer.h"
#include "audio_depacketizer.h"
#include "mp4_writer.h"
#include "rtp_depacketizer.h"
#include "rtpdump_writer.h"
#include "video_codec.h"

namespace rtsp_pull {

enum class OutputFormat { kAnnexB, kMp4 };

struct RecorderConfig {
  // "": count only, write nothing; "-": standard output (one stream, never
  // segmented). Otherwise a file name in which strftime fields are filled in
  // with the local time at which each file opens; with segments and no field,
  // "-0001", "-0002", ... go before the extension. An existing file is never
  // replaced unless `overwrite`: the first file's name being taken fails
  // beginStream, a later segment's gets "-2", "-3", ... instead.
  std::string outputPattern;
  OutputFormat format = OutputFormat::kAnnexB;  // the tool picks it from --format or the extension
  double segmentSeconds = 0;                    // 0: one output file
  bool overwrite = false;                       // false: never replace an existing file
  bool waitForKeyframe = true;
  uint64_t frameLimit = 0;  // 0: no limit
  // MP4: the length a fragment aims at (see Mp4Writer). A live view asks for
  // one picture per fragment with a tiny value.
  double fragmentSeconds = 1.0;
  // Used for "-" (the tool's own writer); false when the bytes could not be written.
  std::function<bool(const char*, size_t)> standardOutput;
  // Optional: remarks worth showing a user, one line each ("no H.265
  // parameter sets in the session description; relying on those inside the
  // stream"). Called from beginStream on its thread, with the recorder's lock
  // not held.
  std::function<void(const std::string&)> notice;
  // "": no rtpdump copy. Otherwise every RTP packet is also written there
  // (created by open; see RtpdumpWriter).
  std::string rtpdumpPath;
  // Optional: told once, under the recorder's lock, when the rtpdump copy
  // cannot be written ("writing x.rtpdump failed: ..."); the recording goes
  // on, and finish() then returns false.
  std::function<void(const std::string&)> warning;
  // MP4 only: the stream's first audio track (track 1 of the session) goes
  // into the file too, when its codec is one that can be recorded.
  bool recordAudio = false;
  // The camera's clock (its RTCP sender reports, through setWallClock)
  // rather than the local one names the files (strftime fields) and places
  // the segment cuts: a segment then ends at the first keyframe past a
  // multiple of segmentSeconds of the camera's time. Where the camera's time
  // is not known yet, the local rules apply.
  bool cameraClock = false;
  // How long the start of a session with audio waits for the sender reports.
  double syncWaitSeconds = 5;
};

// Places RTP timestamps on one growing 64-bit timeline that starts at 0,
// across 32-bit wraps and, after resume(), across a break in reception.
class Timeline {
 public:
  explicit Timeline(uint32_t clockRate) : maxStep_(static_cast<uint64_t>(clockRate) * 10) {}
  // A step back (pictures sent out of display order) or a jump of over ten
  // seconds keeps the previous pace instead.
  uint64_t place(uint32_t timestamp);
  // The next placed timestamp lands `gapTicks` after the end of the last one.
  void resume(uint64_t gapTicks);

 private:
  uint64_t maxStep_;
  bool started_ = false;
  bool resuming_ = false;
  uint32_t last_ = 0;
  uint32_t lastStep_ = 0;
  uint64_t position_ = 0;
  uint64_t resumeAt_ = 0;
};

// `packets` counts RTP packets (RTCP excluded) and `bytes` their size as
// received; `frames` the pictures written (or counted, without output);
// `files` the output files opened so far; `elapsed` the seconds since the
// first beginStream.
// `unannounced` counts the RTP packets left out for a payload type the
// session description does not announce for the video, `restarts` the
// sender restarts (see NalSink::onRestart), `keyframes` the keyframes seen
// (written or not).
struct RecorderStats {
  double elapsed = 0;
  uint64_t packets = 0, lost = 0, frames = 0, bytes = 0, files = 0;
  uint64_t unannounced = 0, restarts = 0, keyframes = 0;
};

// What a packet left the recording at.
enum class Progress {
  kRecording,
  kLimitReached,  // the frame limit is reached: nothing more is written
  kFailed,        // the output could not be written (takeFailure says why)
};

// The one object between the session and the writers: it copies the RTP
// packets to the rtpdump file, depacketizes them (H.264 or H.265), collects
// access units and writes them as an Annex B byte stream or as fragmented
// MP4, in one file or in segments, and carries one recording on across
// reconnections.
//
// Threads: open runs on the host thread before the first start; beginStream
// on the host thread inside startRTSPDownload (from the stream-header
// delivery); onPacket on the library's receive thread; endStream/finish on
// the host thread while no reception runs; stats() and takeFailure() from any
// thread. One mutex serialises all of them.
// Audio (RecorderConfig::recordAudio): the audio frames and the pictures are
// put on one timeline. At the start of each session both are held until the
// RTCP sender reports of both tracks give their wall-clock times (the frames
// are then placed by those), for at most syncWaitSeconds; failing that, by
// their arrival times. A file's audio starts at its first picture and ends
// with its last one.
class Recorder : private NalSink, private AudioSink {
 public:
  // The wall-clock time (NTP 32.32) of RTP time `rtpTime` of `track`; false
  // while unknown. Called on the receive thread.
  using WallClock = std::function<bool(int track, uint32_t rtpTime, uint64_t* ntp)>;

  explicit Recorder(RecorderConfig config);
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Before the first start: refuses, with `error`, a single output file or
  // an rtpdump file that exists (unless `overwrite`), and creates the rtpdump
  // file, its preamble naming the server at `address` (IPv4, host byte
  // order) and `port`. Nothing is written when it fails.
  bool open(uint32_t address, uint16_t port, std::string& error);
  // Once per successful start. The first call fixes the codec (from
  // SDP::video_codec()) and opens the output; later calls (after a
  // reconnection) continue the same output: Annex B writes the parameter sets
  // again and waits for a keyframe, MP4 continues its timeline across the gap
  // (wall-clock time since endStream). False with `error` when the stream
  // cannot be recorded (an unsupported codec, an output that cannot be
  // opened, a codec other than the first call's).
  bool beginStream(SDP& sdp, std::string& error);
  // The same with the stream's media already read from `sdp` (beginStream
  // reads them with SDPMedia::parseAll). An audio track that cannot be
  // recorded is left out with a notice.
  bool beginStream(SDP& sdp, const std::vector<SDPMedia>& media, std::string& error);
  // Host thread, after a start: the tracks the session set up. Without an
  // audio track among them the stream is recorded without audio. An empty
  // list changes nothing.
  void setTracks(const std::vector<RTSPTrack>& tracks);
  // The session's wall clock, for the sessions that follow (empty: none).
  void setWallClock(WallClock wallClock);
  // One RTP or RTCP packet as the session delivers it; RTCP, and RTP of a
  // payload type the session description does not announce for the video,
  // are left out of everything (but the packet count); but the type of a
  // stream's first RTP packet is always taken (a camera that announces
  // another type than it sends). Writes nothing after a failure or once the
  // frame limit is reached. Access units are written whole once they end;
  // with MP4, fragments of about a second. A stream starts at a keyframe
  // whose parameter sets are known (any picture, with waitForKeyframe false;
  // MP4 always needs the sets). With segmentSeconds, a new file starts at the
  // first keyframe at least that long after the current file's first unit.
  Progress onPacket(const uint8_t* data, size_t size);
  // A packet of track `track` (0: the video, as onPacket).
  Progress onTrackPacket(int track, const uint8_t* data, size_t size, bool isRtcp);
  // Reception ended (for now): what is pending is written out (an MP4
  // fragment closes, its last sample lasting as long as the one before).
  void endStream();
  // Flushes and closes the output and the rtpdump file. False when anything
  // could not be written (also for a failure reported earlier). An output
  // file into which nothing was written is removed. Later calls do nothing.
  bool finish();

  RecorderStats stats() const;
  // The file being written; "" while none is open. Any thread.
  std::string currentFile() const;
  // True, with the reason ("writing cam.mp4 failed: No space left on
  // device"), the first time it is called after the recording failed; false
  // otherwise, so that the reason is shown once.
  bool takeFailure(std::string& reason);
  // Why no frame was recorded, for a run that ends without one ("no RTP
  // packet arrived", "no keyframe came in 120 packets", ...).
  std::string whyNoFrames() const;

 private:
  using Clock = std::chrono::steady_clock;

  // NalSink: the depacketizer's output, under the mutex.
  void onNal(const uint8_t* nal, size_t size) override;
  void onAccessUnitInfo(uint32_t timestamp, bool keyframe) override;
  void onAccessUnitEnd() override;
  void onRestart() override;
  // AudioSink: the audio depacketizer's output, under the mutex.
  void onAudioFrame(uint32_t timestamp, uint32_t duration, const uint8_t* data,
                    size_t size) override;

  bool writing() const { return !config_.outputPattern.empty(); }
  bool toStandardOutput() const { return config_.outputPattern == "-"; }
  bool segmenting() const { return config_.segmentSeconds > 0 && !toStandardOutput() && writing(); }
  bool limitReached() const { return config_.frameLimit > 0 && frames_ >= config_.frameLimit; }
  bool haveParameterSets() const;

  bool begin(SDP& sdp, const std::vector<SDPMedia>& media, std::string& error,
             std::vector<std::string>& notices);
  void beginAudio(const std::vector<SDPMedia>& media, std::vector<std::string>& notices);
  Progress progress() const;
  void handleAccessUnit(AccessUnit& unit, Clock::time_point arrival);
  // Sync: decides how the tracks line up once it can, then replays what was held.
  void trySync(Clock::time_point now);
  void replay();
  void placeAudio(uint32_t timestamp, uint32_t duration, Clock::time_point arrival,
                  std::string bytes);
  void anchorAudio(uint32_t timestamp, Clock::time_point arrival);
  void releaseAudio(uint64_t videoPosition);
  bool wallClock(int track, uint32_t rtpTime, uint64_t& ntp) const {
    return wallClock_ && wallClock_(track, rtpTime, &ntp);
  }
  bool cameraSeconds(uint32_t timestamp, double& seconds) const;
  void end();
  void flushOutput();
  void writeAnnexBSets(AccessUnit& unit);
  bool openFile(std::string& error, const double* cameraTime = nullptr);
  bool startOutput(AccessUnit& unit);
  void closeFile();
  bool emitOutput(const char* data, size_t size);
  bool emitOutput(const Mp4Writer::Piece* pieces, size_t count);
  void fail(const std::string& message) {
    if (failure_.empty()) failure_ = message;
  }

  mutable std::mutex mutex_;
  RecorderConfig config_;
  RtpdumpWriter rtpdump_;
  std::string rtpdumpFailure_;
  bool begun_ = false;
  bool finished_ = false;
  Clock::time_point firstStart_;
  VideoCodec codec_ = VideoCodec::kH264;
  uint32_t clockRate_ = 90000;
  std::unique_ptr<RtpDepacketizer> depacketizer_;
  uint64_t lostBefore_ = 0;  // lost packets counted by earlier depacketizers
  AccessUnit unit_;
  size_t unitBytes_ = 0;
  std::string sets_[kParameterSetKinds];  // the latest of each kind
  Timeline timeline_;
  Clock::time_point endedAt_;
  bool ended_ = false;

  // Output: one file (or standard output) at a time.
  int fd_ = -1;
  std::string fileName_;
  bool outputOpen_ = false;     // a file is open, or standard output is in use
  bool outputStarted_ = false;  // its header (parameter sets, moov) is written
  uint64_t segmentStart_ = 0;   // timeline position of its first unit
  uint32_t segmentNumber_ = 0;
  std::unique_ptr<AnnexBWriter> annexB_;
  std::unique_ptr<Mp4Writer> mp4_;
  std::vector<iovec> iovecs_;   // the pieces of the MP4 write under way
  bool streamStarted_ = false;  // since the last beginStream: a unit was taken
  bool resendSets_ = false;     // Annex B: parameter sets go again before the next unit

  // The video's payload types from the session description; empty: any.
  std::vector<uint8_t> payloadTypes_;
  bool announcedSeen_ = false;        // since beginStream, a packet of one of them came
  bool keyframeWithoutSets_ = false;  // a keyframe came while its parameter sets were unknown
  // Audio: the format of the recording's audio track (fixed by the first
  // session that has one), and this session's depacketizer.
  bool audioInFiles_ = false;  // the files have an audio track
  bool audioThisSession_ = false;
  AudioFormat audioFormat_;
  int audioTrack_ = 1;
  std::unique_ptr<AudioDepacketizer> audioDepacketizer_;

  // How this session's tracks line up.
  enum class Sync {
    kWaiting,    // holding pictures and frames until the sender reports or the deadline
    kWallClock,  // placed by the sender reports' wall-clock times
    kArrival,    // placed by when they arrived
    kVideoOnly,  // no audio this session
  };
  struct HeldUnit {
    AccessUnit unit;
    Clock::time_point arrival;
  };
  struct HeldFrame {
    uint32_t timestamp;
    uint32_t duration;
    Clock::time_point arrival;
    std::string bytes;
  };
  // Audio placed on the timeline (audio ticks), waiting for the pictures to
  // pass it.
  struct PlacedFrame {
    int64_t position;
    uint32_t duration;
    std::string bytes;
  };
  Sync sync_ = Sync::kVideoOnly;
  WallClock wallClock_;
  Clock::time_point waitStart_;
  size_t heldBytes_ = 0;
  std::deque<HeldUnit> heldUnits_;
  std::deque<HeldFrame> heldFrames_;  // before sync, and before the first picture placed
  std::deque<PlacedFrame> placed_;
  // The anchor: the video timeline position `anchorVideo_` is audio RTP time
  // `anchorAudio_` (extended past wraps). `pendingAnchorTs_`: the picture
  // whose position is to become the anchor once placed.
  bool anchored_ = false, anchorPending_ = false;
  uint32_t pendingAnchorTs_ = 0;
  int64_t pendingAnchorAudio_ = 0;
  uint64_t anchorVideo_ = 0;
  int64_t anchorAudio_ = 0;
  bool audioExtStarted_ = false;
  uint32_t lastAudioTs_ = 0;
  int64_t audioExt_ = 0;
  int64_t extend(uint32_t timestamp);
  // The last picture placed: its RTP time, position, arrival, and where it ends.
  bool videoPlaced_ = false;
  uint32_t lastVideoTs_ = 0;
  uint64_t lastVideoPosition_ = 0, videoEnd_ = 0;
  Clock::time_point lastVideoArrival_;
  double segmentCameraStart_ = -1;  // camera seconds at the file's first unit; -1: unknown
  bool deferredOpen_ = false;       // the first file opens at its first unit (camera-clock names)

  uint64_t packets_ = 0, bytes_ = 0, frames_ = 0, files_ = 0;
  uint64_t unannounced_ = 0, restartsBefore_ = 0, keyframes_ = 0;
  std::string failure_;
  bool failureTaken_ = false;
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_RECORDER_H_
