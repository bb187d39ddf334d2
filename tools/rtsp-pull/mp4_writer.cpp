#include "mp4_writer.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace rtsp_pull {

namespace {

// Builds boxes into a byte string. begin() opens a box whose 32-bit size is
// filled in by the matching end(); boxes nest.
class Boxes {
 public:
  void begin(const char* type) {
    open_.push_back(bytes_.size());
    u32(0);
    bytes_.append(type, 4);
  }
  // A full box: version and 24 bits of flags after the type.
  void beginFull(const char* type, uint8_t version, uint32_t flags) {
    begin(type);
    u32((static_cast<uint32_t>(version) << 24) | (flags & 0xFFFFFF));
  }
  void end() {
    const size_t start = open_.back();
    open_.pop_back();
    const auto size = static_cast<uint32_t>(bytes_.size() - start);
    for (int i = 0; i < 4; ++i) bytes_[start + i] = static_cast<char>(size >> (24 - 8 * i));
  }
  void u8(uint32_t v) { bytes_.push_back(static_cast<char>(v & 0xFF)); }
  void u16(uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(uint32_t v) {
    u16(v >> 16);
    u16(v & 0xFFFF);
  }
  void u64(uint64_t v) {
    u32(static_cast<uint32_t>(v >> 32));
    u32(static_cast<uint32_t>(v & 0xFFFFFFFF));
  }
  void zeros(size_t n) { bytes_.append(n, '\0'); }
  void text(const char* s) { bytes_.append(s); }
  void data(const std::string& s) { bytes_.append(s); }
  size_t size() const { return bytes_.size(); }
  // Overwrites 4 bytes at `at` (a field whose value is known only later).
  void patch32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<char>(v >> (24 - 8 * i));
  }
  std::string take() { return std::move(bytes_); }
  // Starts again in `bytes`, whose capacity is kept.
  void reuse(std::string& bytes) {
    bytes.clear();
    bytes_.swap(bytes);
  }
  void giveBack(std::string& bytes) { bytes.swap(bytes_); }

 private:
  std::string bytes_;
  std::vector<size_t> open_;
};

constexpr uint32_t kTrackId = 1;
constexpr uint32_t kAudioTrackId = 2;
// Sample flags (14496-12 8.8.3.1): a sync sample depends on no other; any
// other sample depends on others and is not a sync sample.
constexpr uint32_t kSyncSample = 0x02000000;
constexpr uint32_t kNonSyncSample = 0x01010000;
// trun flags: data offset, then per sample duration, size and flags.
constexpr uint32_t kTrunFlags = 0x000001 | 0x000100 | 0x000200 | 0x000400;
// Audio: data offset, duration and size; every audio sample is a sync sample.
constexpr uint32_t kAudioTrunFlags = 0x000001 | 0x000100 | 0x000200;
// tfhd flag: data offsets count from the start of the moof.
constexpr uint32_t kDefaultBaseIsMoof = 0x020000;
// A fragment never holds more than this much sample data.
constexpr size_t kMaxFragmentBytes = 32u << 20;

uint32_t clampDuration(uint64_t ticks) {
  return static_cast<uint32_t>(std::min<uint64_t>(ticks, std::numeric_limits<uint32_t>::max()));
}

void unityMatrix(Boxes& b) {
  const uint32_t matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  for (uint32_t v : matrix) b.u32(v);
}

void avcC(Boxes& b, const Mp4Track& t, const SpsInfo& info) {
  b.begin("avcC");
  b.u8(1);                  // configurationVersion
  b.u8(uint8_t(t.sps[1]));  // AVCProfileIndication
  b.u8(uint8_t(t.sps[2]));  // profile_compatibility
  b.u8(uint8_t(t.sps[3]));  // AVCLevelIndication
  b.u8(0xFC | 3);           // lengthSizeMinusOne: 4-byte lengths
  b.u8(0xE0 | 1);           // one SPS
  b.u16(static_cast<uint32_t>(t.sps.size()));
  b.data(t.sps);
  b.u8(1);  // one PPS
  b.u16(static_cast<uint32_t>(t.pps.size()));
  b.data(t.pps);
  const auto profile = static_cast<uint8_t>(t.sps[1]);
  // Profiles other than Baseline, Main and Extended carry the chroma format
  // and bit depths here too.
  if (profile != 66 && profile != 77 && profile != 88) {
    b.u8(0xFC | info.chromaFormat);
    b.u8(0xF8 | ((info.bitDepthLuma - 8) & 7));
    b.u8(0xF8 | ((info.bitDepthChroma - 8) & 7));
    b.u8(0);  // no SPS extensions
  }
  b.end();
}

void hvcC(Boxes& b, const Mp4Track& t, const SpsInfo& info) {
  b.begin("hvcC");
  b.u8(1);  // configurationVersion
  for (uint8_t byte : info.generalProfile) b.u8(byte);
  b.u16(0xF000);  // min_spatial_segmentation_idc 0
  b.u8(0xFC);     // parallelismType 0: unknown
  b.u8(0xFC | info.chromaFormat);
  b.u8(0xF8 | ((info.bitDepthLuma - 8) & 7));
  b.u8(0xF8 | ((info.bitDepthChroma - 8) & 7));
  b.u16(0);  // avgFrameRate: unspecified
  // constantFrameRate 0, numTemporalLayers, temporalIdNested, 4-byte lengths
  b.u8(((info.maxSubLayers & 7u) << 3) | (info.temporalIdNested ? 4u : 0u) | 3u);
  b.u8(3);  // arrays: VPS, SPS, PPS
  const std::pair<uint8_t, const std::string*> arrays[3] = {
      {32, &t.vps}, {33, &t.sps}, {34, &t.pps}};
  for (const auto& array : arrays) {
    b.u8(0x80 | array.first);  // array_completeness 1: all sets of the type are here
    b.u16(1);
    b.u16(static_cast<uint32_t>(array.second->size()));
    b.data(*array.second);
  }
  b.end();
}

// An ES_Descriptor (14496-1 7.2.6.5) carrying AAC's AudioSpecificConfig.
void esds(Boxes& b, const AudioFormat& a) {
  const auto size = static_cast<uint32_t>(a.config.size());
  b.beginFull("esds", 0, 0);
  b.u8(0x03);  // ES_Descriptor
  b.u8(3 + 15 + 2 + size + 3);
  b.u16(kAudioTrackId);  // ES_ID
  b.u8(0);               // no dependence, URL or OCR stream
  b.u8(0x04);            // DecoderConfigDescriptor
  b.u8(13 + 2 + size);
  b.u8(0x40);           // objectTypeIndication: Audio ISO/IEC 14496-3
  b.u8(0x05 << 2 | 1);  // streamType audio, upStream 0, reserved 1
  b.u8(0);              // bufferSizeDB: 24 bits, unknown
  b.u16(0);
  b.u32(0);    // maxBitrate: unknown
  b.u32(0);    // avgBitrate: unknown
  b.u8(0x05);  // DecoderSpecificInfo
  b.u8(size);
  b.data(a.config);
  b.u8(0x06);  // SLConfigDescriptor
  b.u8(1);
  b.u8(0x02);  // predefined: MP4 files
  b.end();
}

// The Opus sample entry's configuration (the "Encapsulation of Opus in
// ISO Base Media File Format", 4.3.2): mapping family 0 for one or two channels.
void dOps(Boxes& b, const AudioFormat& a) {
  b.begin("dOps");
  b.u8(0);  // Version
  b.u8(a.channels);
  b.u16(0);  // PreSkip: the stream does not say
  b.u32(a.sampleRate);
  b.u16(0);  // OutputGain
  b.u8(0);   // ChannelMappingFamily
  b.end();
}

void audioSampleEntry(Boxes& b, const AudioFormat& a) {
  static const char* const kTypes[] = {"mp4a", "mp4a", "Opus", "ulaw", "alaw"};
  b.begin(kTypes[static_cast<int>(a.codec)]);
  b.zeros(6);
  b.u16(1);  // data_reference_index
  b.zeros(8);
  b.u16(a.channels);
  b.u16(16);  // samplesize
  b.u32(0);   // pre_defined, reserved
  // 16.16 fixed point: rates over 65535 do not fit and are written as 0.
  b.u32(a.sampleRate <= 0xFFFF ? a.sampleRate << 16 : 0);
  if (a.codec == AudioCodec::kAac || a.codec == AudioCodec::kLatm) esds(b, a);
  if (a.codec == AudioCodec::kOpus) dOps(b, a);
  b.end();
}

// A track's trak box; `sampleEntry` writes its one sample entry.
template <typename Entry>
void trak(Boxes& b, uint32_t id, uint32_t timescale, bool video, uint32_t width, uint32_t height,
          const Entry& sampleEntry) {
  b.begin("trak");
  b.beginFull("tkhd", 0, 0x000003);  // enabled, in movie
  b.u32(0);
  b.u32(0);
  b.u32(id);
  b.u32(0);  // reserved
  b.u32(0);  // duration
  b.zeros(8);
  b.u16(0);                   // layer
  b.u16(0);                   // alternate group
  b.u16(video ? 0 : 0x0100);  // volume
  b.u16(0);
  unityMatrix(b);
  b.u32(width << 16);
  b.u32(height << 16);
  b.end();

  b.begin("mdia");
  b.beginFull("mdhd", 0, 0);
  b.u32(0);
  b.u32(0);
  b.u32(timescale);
  b.u32(0);
  b.u16(0x55C4);  // language "und"
  b.u16(0);
  b.end();
  b.beginFull("hdlr", 0, 0);
  b.u32(0);
  b.text(video ? "vide" : "soun");
  b.zeros(12);
  b.text(video ? "VideoHandler" : "SoundHandler");
  b.u8(0);
  b.end();

  b.begin("minf");
  if (video) {
    b.beginFull("vmhd", 0, 1);
    b.zeros(8);  // graphicsmode, opcolor
  } else {
    b.beginFull("smhd", 0, 0);
    b.zeros(4);  // balance, reserved
  }
  b.end();
  b.begin("dinf");
  b.beginFull("dref", 0, 0);
  b.u32(1);
  b.beginFull("url ", 0, 1);  // the data is in this file
  b.end();
  b.end();
  b.end();

  b.begin("stbl");
  b.beginFull("stsd", 0, 0);
  b.u32(1);
  sampleEntry();
  b.end();  // stsd
  for (const char* empty : {"stts", "stsc", "stco"}) {
    b.beginFull(empty, 0, 0);
    b.u32(0);
    b.end();
  }
  b.beginFull("stsz", 0, 0);
  b.u32(0);
  b.u32(0);
  b.end();
  b.end();  // stbl
  b.end();  // minf
  b.end();  // mdia
  b.end();  // trak
}

void trex(Boxes& b, uint32_t id) {
  b.beginFull("trex", 0, 0);
  b.u32(id);
  b.u32(1);  // default_sample_description_index
  b.u32(0);
  b.u32(0);
  b.u32(0);
  b.end();
}

std::string header(const Mp4Track& t, const SpsInfo& info, const AudioFormat* audio) {
  const bool h264 = t.codec == VideoCodec::kH264;
  Boxes b;
  b.begin("ftyp");
  b.text("isom");
  b.u32(0x200);
  b.text("isomiso6mp41");
  b.text(h264 ? "avc1" : "hvc1");
  b.end();

  b.begin("moov");
  b.beginFull("mvhd", 0, 0);
  b.u32(0);  // creation time
  b.u32(0);  // modification time
  b.u32(t.timescale);
  b.u32(0);           // duration: given by the fragments
  b.u32(0x00010000);  // rate 1.0
  b.u16(0x0100);      // volume 1.0
  b.zeros(10);
  unityMatrix(b);
  b.zeros(24);  // pre_defined
  b.u32((audio != nullptr ? kAudioTrackId : kTrackId) + 1);
  b.end();

  trak(b, kTrackId, t.timescale, true, info.width, info.height, [&] {
    b.begin(h264 ? "avc1" : "hvc1");
    b.zeros(6);
    b.u16(1);  // data_reference_index
    b.zeros(16);
    b.u16(info.width);
    b.u16(info.height);
    b.u32(0x00480000);  // 72 dpi
    b.u32(0x00480000);
    b.u32(0);
    b.u16(1);       // frame_count
    b.zeros(32);    // compressorname
    b.u16(0x0018);  // depth
    b.u16(0xFFFF);  // pre_defined -1
    if (h264) {
      avcC(b, t, info);
    } else {
      hvcC(b, t, info);
    }
    b.end();  // avc1 / hvc1
  });
  if (audio != nullptr)
    trak(b, kAudioTrackId, audio->clockRate, false, 0, 0, [&] { audioSampleEntry(b, *audio); });

  b.begin("mvex");
  trex(b, kTrackId);
  if (audio != nullptr) trex(b, kAudioTrackId);
  b.end();
  b.end();  // moov
  return b.take();
}

}  // namespace

Mp4Writer::Mp4Writer(Output output, double fragmentSeconds)
    : output_(std::move(output)), fragmentSeconds_(fragmentSeconds) {}

bool Mp4Writer::begin(const Mp4Track& track, std::string& error, const AudioFormat* audio) {
  const bool h264 = track.codec == VideoCodec::kH264;
  if (track.sps.size() < 4 || track.pps.empty() || (!h264 && track.vps.empty())) {
    error = h264 ? "no SPS and PPS for the MP4 header" : "no VPS, SPS and PPS for the MP4 header";
    return false;
  }
  SpsInfo info;
  if (!parseSps(track.codec, track.sps, info) || info.width > 0xFFFF || info.height > 0xFFFF) {
    error = "the stream's sequence parameter set cannot be read";
    return false;
  }
  if (track.timescale == 0) {
    error = "the stream has no clock rate";
    return false;
  }
  // The descriptors' one-byte lengths bound the AAC configuration.
  if (audio != nullptr && (audio->clockRate == 0 || audio->config.size() > 100)) {
    error = "the audio's clock rate or configuration cannot be written";
    return false;
  }
  track_ = track;
  hasAudio_ = audio != nullptr;
  if (hasAudio_) audio_ = *audio;
  begun_ = true;
  fragmentTicks_ = std::max<uint64_t>(1, static_cast<uint64_t>(fragmentSeconds_ * track.timescale));
  write(header(track, info, audio), 0);
  return true;
}

void Mp4Writer::addSample(const AccessUnit& unit, uint64_t decodeTime, uint64_t wallClock) {
  if (!begun_) return;
  const std::string* entrySets[3] = {&track_.vps, &track_.sps, &track_.pps};
  const auto inEntry = [&](const std::string& nal) {
    const int kind = parameterSetKind(
        track_.codec, nalType(track_.codec, reinterpret_cast<const uint8_t*>(nal.data())));
    return kind >= 0 && nal == *entrySets[kind];
  };
  // A sample of size 0 is no picture, and players refuse a file with one.
  if (std::all_of(unit.nals.begin(), unit.nals.end(),
                  [&](const std::string& nal) { return nal.empty() || inEntry(nal); }))
    return;
  // Decode times must grow; a caller's mistake costs a tick, not a broken file.
  if (samples_ > 0 && decodeTime <= lastDecodeTime_) decodeTime = lastDecodeTime_ + 1;
  lastDecodeTime_ = decodeTime;
  if (!pending_.empty()) {
    const uint64_t span = decodeTime - pending_.front().decodeTime;
    if ((unit.keyframe && span >= fragmentTicks_) || span >= 3 * fragmentTicks_ ||
        pendingBytes_ + audioBytes_.size() >= kMaxFragmentBytes) {
      writeFragment(true, decodeTime);
    }
  }
  const size_t start = pendingBytes_;
  for (const std::string& nal : unit.nals) {
    if (nal.empty() || inEntry(nal)) continue;
    const auto size = static_cast<uint32_t>(nal.size());
    char length[4];
    for (int i = 0; i < 4; ++i) length[i] = static_cast<char>(size >> (24 - 8 * i));
    append(length, sizeof length);
    append(nal.data(), nal.size());
  }
  pending_.push_back(
      Sample{decodeTime, static_cast<uint32_t>(pendingBytes_ - start), unit.keyframe, wallClock});
  ++samples_;
}

void Mp4Writer::addAudioSample(uint64_t decodeTime, uint32_t duration, const uint8_t* data,
                               size_t size) {
  if (!begun_ || !hasAudio_ || size == 0 || (audioStarted_ && decodeTime <= lastAudioTime_)) return;
  audioStarted_ = true;
  lastAudioTime_ = decodeTime;
  // Audio without video for long (a stalled picture) still goes out.
  if (audioBytes_.size() + pendingBytes_ >= kMaxFragmentBytes) writeFragment(false, 0);
  audioPending_.push_back(AudioSample{decodeTime, static_cast<uint32_t>(size), duration});
  audioBytes_.append(reinterpret_cast<const char*>(data), size);
}

bool Mp4Writer::flush() {
  if (!pending_.empty() || !audioPending_.empty()) writeFragment(false, 0);
  return !failed_;
}

void Mp4Writer::writeFragment(bool nextKnown, uint64_t nextDecodeTime) {
  const size_t count = pending_.size();
  std::vector<uint32_t> durations(count);
  if (count > 0) {
    for (size_t i = 0; i + 1 < count; ++i)
      durations[i] = clampDuration(pending_[i + 1].decodeTime - pending_[i].decodeTime);
    if (nextKnown) {
      durations[count - 1] = clampDuration(nextDecodeTime - pending_[count - 1].decodeTime);
    } else if (count >= 2) {
      durations[count - 1] = durations[count - 2];
    } else {
      durations[count - 1] =
          lastDuration_ > 0 ? lastDuration_ : std::max<uint32_t>(1, track_.timescale / 30);
    }
    lastDuration_ = durations[count - 1];
  }

  Boxes b;
  b.reuse(moof_);
  if (count > 0 && pending_.front().wallClock != 0) {
    // The wall-clock time at which the fragment's first picture was taken.
    b.beginFull("prft", 1, 0);
    b.u32(kTrackId);
    b.u64(pending_.front().wallClock);
    b.u64(pending_.front().decodeTime);
    b.end();
  }
  const size_t moofStart = b.size();
  b.begin("moof");
  b.beginFull("mfhd", 0, 0);
  b.u32(++sequence_);
  b.end();
  size_t videoOffsetAt = 0, audioOffsetAt = 0;
  // One traf per track with samples; `flags` for each sample, or none.
  const auto traf = [&b](uint32_t id, uint64_t decodeTime, uint32_t trunFlags, size_t samples,
                         size_t& offsetAt) {
    b.begin("traf");
    b.beginFull("tfhd", 0, kDefaultBaseIsMoof);
    b.u32(id);
    b.end();
    b.beginFull("tfdt", 1, 0);
    b.u64(decodeTime);
    b.end();
    b.beginFull("trun", 0, trunFlags);
    b.u32(static_cast<uint32_t>(samples));
    offsetAt = b.size();
    b.u32(0);  // data offset, patched below
  };
  if (count > 0) {
    traf(kTrackId, pending_.front().decodeTime, kTrunFlags, count, videoOffsetAt);
    for (size_t i = 0; i < count; ++i) {
      b.u32(durations[i]);
      b.u32(pending_[i].size);
      b.u32(pending_[i].keyframe ? kSyncSample : kNonSyncSample);
    }
    b.end();  // trun
    b.end();  // traf
  }
  const size_t audioCount = audioPending_.size();
  if (audioCount > 0) {
    traf(kAudioTrackId, audioPending_.front().decodeTime, kAudioTrunFlags, audioCount,
         audioOffsetAt);
    for (size_t i = 0; i < audioCount; ++i) {
      const AudioSample& s = audioPending_[i];
      b.u32(i + 1 < audioCount ? clampDuration(audioPending_[i + 1].decodeTime - s.decodeTime)
                               : s.duration);
      b.u32(s.size);
    }
    b.end();  // trun
    b.end();  // traf
  }
  b.end();  // moof
  // The samples start after the moof and the 8-byte mdat header: the
  // video's first, then the audio's.
  const size_t dataStart = b.size() - moofStart + 8;
  if (count > 0) b.patch32(videoOffsetAt, static_cast<uint32_t>(dataStart));
  if (audioCount > 0) b.patch32(audioOffsetAt, static_cast<uint32_t>(dataStart + pendingBytes_));
  const uint64_t mdatSize = 8 + pendingBytes_ + audioBytes_.size();
  b.u32(static_cast<uint32_t>(mdatSize));
  b.text("mdat");
  b.giveBack(moof_);
  write(moof_, pendingBlocks_);
  pending_.clear();
  for (size_t i = 0; i < pendingBlocks_; ++i) blocks_[i].clear();
  if (blocks_.size() > 1) blocks_.resize(1);
  pendingBlocks_ = 0;
  pendingBytes_ = 0;
  audioPending_.clear();
  audioBytes_.clear();
}

void Mp4Writer::append(const char* data, size_t size) {
  while (size > 0) {
    if (pendingBlocks_ == 0 || blocks_[pendingBlocks_ - 1].size() == kBlockBytes) {
      if (pendingBlocks_ == blocks_.size()) {
        blocks_.emplace_back();
        blocks_.back().reserve(kBlockBytes);
      }
      ++pendingBlocks_;
    }
    std::string& block = blocks_[pendingBlocks_ - 1];
    const size_t n = std::min(size, kBlockBytes - block.size());
    block.append(data, n);
    data += n;
    size -= n;
    pendingBytes_ += n;
  }
}

bool Mp4Writer::write(const std::string& head, size_t blocks) {
  if (failed_) return false;
  pieces_.clear();
  pieces_.push_back(Piece{head.data(), head.size()});
  for (size_t i = 0; i < blocks; ++i)
    pieces_.push_back(Piece{blocks_[i].data(), blocks_[i].size()});
  if (!audioBytes_.empty()) pieces_.push_back(Piece{audioBytes_.data(), audioBytes_.size()});
  if (output_) failed_ = !output_(pieces_.data(), pieces_.size());
  return !failed_;
}

}  // namespace rtsp_pull
