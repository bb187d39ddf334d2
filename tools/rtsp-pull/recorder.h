// Records the video of one RTSP stream to files: depacketizes the RTP
// packets (H.264 or H.265) and writes the access units as an Annex B byte
// stream or as fragmented MP4, in one file or in segments, and carries one
// recording on across reconnections.
#ifndef RTSP_PULL_RECORDER_H_
#define RTSP_PULL_RECORDER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <rtsppull/sdp.h>

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
  // Used for "-" (the tool's own writer); false when the bytes could not be written.
  std::function<bool(const char*, size_t)> standardOutput;
  // Optional: remarks worth showing a user, one or more lines ("note: no
  // H.265 parameter sets in the session description; relying on those inside
  // the stream"). Called from beginStream on its thread, with no lock of the
  // recorder held.
  std::function<void(const std::string&)> notice;
};

// `packets` counts RTP packets (RTCP excluded) and `bytes` their size as
// received; `frames` the pictures written (or counted, without output);
// `files` the output files opened so far.
struct RecorderStats {
  uint64_t packets = 0, lost = 0, frames = 0, bytes = 0, files = 0;
};

class RecorderCore;

// Threads: beginStream runs on the host thread inside startRTSPDownload (from
// the stream-header delivery); onPacket on the library's receive thread;
// endStream/finish on the host thread while no reception runs; stats(),
// limitReached(), failed() and failure() from any thread. One mutex
// serialises all of them.
class Recorder {
 public:
  explicit Recorder(RecorderConfig config);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Once per successful start. The first call fixes the codec (from
  // SDP::video_codec()) and opens the output; later calls (after a
  // reconnection) continue the same output: Annex B writes the parameter sets
  // again and waits for a keyframe, MP4 continues its timeline across the gap
  // (wall-clock time since endStream). False with `error` when the stream
  // cannot be recorded (an unsupported codec, an output that cannot be
  // opened, a codec other than the first call's).
  bool beginStream(SDP& sdp, std::string& error);
  // One RTP (or RTCP, ignored) packet. Writes nothing after a failure or once
  // the frame limit is reached. Access units are written whole once they end;
  // with MP4, fragments of about a second. A stream starts at a keyframe whose
  // parameter sets are known (any picture, with waitForKeyframe false; MP4
  // always needs the sets). With segmentSeconds, a new file starts at the
  // first keyframe at least that long after the current file's first unit.
  void onPacket(const uint8_t* data, size_t size);
  // Reception ended (for now): what is pending is written out (an MP4
  // fragment closes, its last sample lasting as long as the one before).
  void endStream();
  // Flushes and closes the output. False with `error` when anything could not
  // be written (also for a failure reported earlier). Later calls do nothing.
  bool finish(std::string& error);

  RecorderStats stats() const;
  bool limitReached() const;
  bool failed() const;
  // Why the recording failed ("writing cam.mp4 failed: No space left on
  // device"); empty while it has not.
  std::string failure() const;

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<RecorderCore> core_;
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_RECORDER_H_
