// Writes one video track as fragmented MP4 (ISO/IEC 14496-12, with the
// sample entries of 14496-15): ftyp and moov first, then a moof and an mdat
// for every fragment of about a second. Each fragment is handed to the
// output whole, so a file cut anywhere plays up to its last whole fragment.
#ifndef RTSP_PULL_MP4_WRITER_H_
#define RTSP_PULL_MP4_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

  // Writes ftyp and moov. False with `error` when a parameter set is missing
  // or its SPS cannot be read; nothing is written then.
  bool begin(const Mp4Track& track, std::string& error);

  // One access unit at `decodeTime` (ticks of the track's timescale since the
  // start of the file; larger than the previous sample's). Parameter sets
  // equal to those of the sample entry are left out of the sample; others
  // stay in it; a unit with nothing else is left out (no sample has size 0).
  // A sample's duration is the distance to the next one.
  void addSample(const AccessUnit& unit, uint64_t decodeTime);

  // Writes the pending fragment, if any. Its last sample gets the duration of
  // the sample before it (the next one is not known yet).
  bool flush();

  bool failed() const { return failed_; }

 private:
  struct Sample {
    uint64_t decodeTime;
    uint32_t size;
    bool keyframe;
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
  // in order (the first `pendingBlocks_` hold them). Blocks are kept for the
  // next fragment, and never grow, so the writer holds about one fragment,
  // rounded up to a block, however long it runs.
  static constexpr size_t kBlockBytes = 1u << 20;
  std::vector<std::string> blocks_;
  size_t pendingBlocks_ = 0;
  size_t pendingBytes_ = 0;
  std::vector<Piece> pieces_;
  std::string moof_;  // the moof and mdat header being written
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_MP4_WRITER_H_
