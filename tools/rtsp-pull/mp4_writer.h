// Writes a video track, and optionally one audio track, as fragmented MP4
// (ISO/IEC 14496-12, with the sample entries of 14496-15 and 14496-14):
// ftyp and moov first, then a moof and an mdat for every fragment of about
// a second. Each fragment is handed to the output whole, so a file cut
// anywhere plays up to its last whole fragment.
//
// Audio sample entries: AAC as `mp4a` with an `esds`, Opus as `Opus` with a
// `dOps`, G.711 as `ulaw` / `alaw` (the QuickTime entries, which ffmpeg and
// the players built on it read; browsers play none of G.711 in MP4).
#ifndef RTSP_PULL_MP4_WRITER_H_
#define RTSP_PULL_MP4_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio_format.h"
#include "video_codec.h"

namespace rtsp_pull {

struct Mp4Track {
  VideoCodec codec = VideoCodec::kH264;
  uint32_t timescale = 90000;  // ticks per second of the decode times given
  // Parameter sets, raw (NAL header included, no start code); `vps` is for
  // H.265 only. They go into the sample entry (avcC or hvcC).
  std::string vps, sps, pps;
};

// Not thread-safe: one caller at a time (the recorder serialises).
class Mp4Writer {
 public:
  // Receives each write as pieces to be written in this order, as one write
  // if it can: a fragment's moof and mdat header, then its samples in blocks
  // (the header of the file is a single piece); false when they could not be
  // written. Saves joining them in a copy of the fragment. May be empty:
  // nothing is written, samples are still counted.
  struct Piece {
    const char* data;
    size_t size;
  };
  using Output = std::function<bool(const Piece* pieces, size_t count)>;

  // A fragment is closed at the first keyframe once it spans
  // `fragmentSeconds`, or at any sample once it spans three times that.
  explicit Mp4Writer(Output output, double fragmentSeconds = 1.0);

  // Writes ftyp and moov, with an audio track (track 2, its timescale the
  // format's clock rate) when `audio` is given. False with `error` when a
  // parameter set is missing or its SPS cannot be read; nothing is written
  // then.
  bool begin(const Mp4Track& track, std::string& error, const AudioFormat* audio = nullptr);

  // One access unit at `decodeTime` (ticks of the track's timescale since the
  // start of the file; larger than the previous sample's). Parameter sets
  // equal to those of the sample entry are left out of the sample; others
  // stay in it; a unit with nothing else is left out (no sample has size 0).
  // A sample's duration is the distance to the next one.
  // `wallClock` (NTP 32.32; 0: unknown) of a fragment's first unit goes into
  // a `prft` box in front of the fragment.
  void addSample(const AccessUnit& unit, uint64_t decodeTime, uint64_t wallClock = 0);

  // One audio frame at `decodeTime` in ticks of the audio timescale since the
  // start of the file, written in the fragment of the video written next.
  // Its duration is the distance to the next frame, or `duration` for the
  // last one of a fragment. Ignored without an audio track, or when it does
  // not come after the previous frame.
  void addAudioSample(uint64_t decodeTime, uint32_t duration, const uint8_t* data, size_t size);

  // Writes the pending fragment, if any. Its last sample gets the duration of
  // the sample before it (the next one is not known yet).
  bool flush();

  bool failed() const { return failed_; }

 private:
  struct Sample {
    uint64_t decodeTime;
    uint32_t size;
    bool keyframe;
    uint64_t wallClock;
  };
  struct AudioSample {
    uint64_t decodeTime;
    uint32_t size;
    uint32_t duration;
  };

  // Writes the pending samples. The last one lasts up to `nextDecodeTime`
  // when `nextKnown`, otherwise as long as the one before it.
  void writeFragment(bool nextKnown, uint64_t nextDecodeTime);
  void append(const char* data, size_t size);
  bool write(const std::string& head, size_t blocks);

  Output output_;
  double fragmentSeconds_;
  Mp4Track track_;
  bool begun_ = false;
  bool failed_ = false;
  uint64_t fragmentTicks_ = 90000;
  uint64_t samples_ = 0;
  uint32_t sequence_ = 0;        // fragments written
  uint32_t lastDuration_ = 0;    // of the last sample written
  uint64_t lastDecodeTime_ = 0;  // of the last sample added
  std::vector<Sample> pending_;  // samples of the fragment being built
  // Their bytes, lengths included, in blocks of kBlockBytes capacity filled
  // in order (the first `pendingBlocks_` hold them). Blocks never grow; only
  // the first is kept for the next fragment, so between fragments the writer
  // holds one small block, however large a fragment was (a keyframe's, or a
  // burst), and a process with many writers reuses the others' freed blocks.
  static constexpr size_t kBlockBytes = 32u << 10;
  std::vector<std::string> blocks_;
  size_t pendingBlocks_ = 0;
  size_t pendingBytes_ = 0;
  // The audio track's format, and its frames of the fragment being built.
  bool hasAudio_ = false;
  AudioFormat audio_;
  std::vector<AudioSample> audioPending_;
  std::string audioBytes_;
  bool audioStarted_ = false;
  uint64_t lastAudioTime_ = 0;
  std::vector<Piece> pieces_;
  std::string moof_;  // the moof and mdat header being written
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_MP4_WRITER_H_
