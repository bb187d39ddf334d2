// Live view: a camera's stream as fragmented MP4 for a browser's Media
// Source Extensions, one picture per fragment (with the audio up to it),
// every viewer starting at a keyframe. Costs nothing while nobody watches: the second recorder that
// makes the fragments exists only while a viewer does.
#ifndef RTSP_RECORDER_LIVE_H_
#define RTSP_RECORDER_LIVE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rtsppull/sdp.h>
#include <rtsppull/tracks.h>

#include "recorder.h"

namespace rtsp_recorder {

// Cuts a fragmented MP4 byte stream, fed in pieces of any size, into its
// header (ftyp and moov) and its fragments (moof and mdat).
class Mp4Splitter {
 public:
  struct Part {
    bool header = false;    // ftyp + moov; otherwise a fragment
    bool keyframe = false;  // a fragment whose first sample is a sync sample
    std::string bytes;
  };
  // The parts completed by these bytes, in order.
  std::vector<Part> feed(const char* data, size_t size);

 private:
  std::string buffer_;
  Part pending_;  // ftyp waiting for moov, or moof waiting for mdat
  bool havePending_ = false;
};

// True when the first sample of the fragment starting with this moof is a
// sync sample (its trun's first-sample or per-sample flags, else tfhd's
// default flags); false when the moof cannot be read.
bool fragmentStartsWithKeyframe(const std::string& moof);

// The media sections the live view records: none (the video alone) without
// `audio`; otherwise all but audio of a codec that browsers do not play in
// MP4 (G.711) or that cannot be recorded.
std::vector<SDPMedia> liveMedia(const SDP& sdp, bool audio);

// One viewer's queue, fed by any number of feeds: each chunk carries the
// index the viewer gave the feed.
class Viewer {
 public:
  struct Chunk {
    uint32_t feed = 0;
    std::shared_ptr<const std::string> bytes;
  };
  // Feed side. False once the viewer is closed (gone, or too far behind).
  bool push(uint32_t feed, std::shared_ptr<const std::string> bytes);
  void close();
  // Viewer side: waits up to `timeout` for chunks; false once closed and empty.
  bool take(std::vector<Chunk>& chunks, std::chrono::milliseconds timeout);
  bool closed() const;

 private:
  static constexpr size_t kMaxQueuedBytes = 16u << 20;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
  size_t queuedBytes_ = 0;
  bool closed_ = false;
};

class LiveFeed {
 public:
  // `audio`: the stream's audio goes into the fragments too when a browser
  // plays its codec in MP4 (AAC, Opus; not G.711).
  explicit LiveFeed(bool audio = false) : audio_(audio) {}
  ~LiveFeed();
  LiveFeed(const LiveFeed&) = delete;
  LiveFeed& operator=(const LiveFeed&) = delete;

  // Receive thread: the session's description (at each start) and packets.
  void onHeader(const SDP& sdp);
  void onPacket(const uint8_t* data, size_t size);
  void onTrackPacket(int track, const uint8_t* data, size_t size, bool isRtcp);
  // Host thread: the session's wall clock, before its start (empty: none),
  // and the tracks it set up, after.
  void setWallClock(rtsp_pull::Recorder::WallClock wallClock);
  void setTracks(const std::vector<RTSPTrack>& tracks);
  // Reception ended for now (the wall clock goes too); the viewers stay.
  void onStreamEnd();

  // Any thread: `viewer` gets this feed's header and the fragments since the
  // latest keyframe, then every new fragment, tagged `index`.
  void attach(const std::shared_ptr<Viewer>& viewer, uint32_t index);
  // Ends every viewer's stream of this feed (the camera stops).
  void closeAll();
  size_t viewers() const;

 private:
  void startRecorderLocked();
  bool beginLocked(const SDP& sdp);
  void publishLocked(const char* data, size_t size);

  const bool audio_;
  mutable std::mutex mutex_;
  std::atomic<bool> active_{false};  // a viewer exists: packets go to recorder_
  std::unique_ptr<SDP> sdp_;
  std::vector<RTSPTrack> tracks_;  // of the session running, or the last one
  rtsp_pull::Recorder::WallClock wallClock_;
  std::unique_ptr<rtsp_pull::Recorder> recorder_;
  Mp4Splitter splitter_;
  std::shared_ptr<const std::string> header_;
  std::vector<std::shared_ptr<const std::string>> sinceKeyframe_;
  struct Attached {
    std::weak_ptr<Viewer> viewer;
    uint32_t index;
  };
  std::vector<Attached> viewers_;
};

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_LIVE_H_
