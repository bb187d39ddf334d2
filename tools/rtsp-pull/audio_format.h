// The audio of a stream as the recorder takes it: which codec, its clocks and
// channels, and the decoder configuration a container needs, read from the
// stream's media description (RFC 3640 mpeg4-generic, RFC 6416 MP4A-LATM,
// RFC 7587 Opus, RFC 3551 PCMU and PCMA).
#ifndef RTSP_PULL_AUDIO_FORMAT_H_
#define RTSP_PULL_AUDIO_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include <rtsppull/tracks.h>

namespace rtsp_pull {

enum class AudioCodec { kAac, kLatm, kOpus, kPcmu, kPcma };

// Why an audio stream cannot be recorded.
enum class AudioError {
  kNone,
  kUnsupportedCodec,  // an encoding the recorder does not take (G.726, L16, ...)
  kMissingConfig,     // AAC without the decoder configuration it needs
  kBadConfig,         // a configuration that cannot be read
  kUnsupportedMode,   // a form of the payload format that is not taken (interleaving, cpresent=1)
};

struct AudioFormat {
  AudioCodec codec = AudioCodec::kAac;
  std::string encodingName;  // as the description names it, for messages
  uint32_t clockRate = 0;    // of the RTP timestamps, and the track's timescale
  uint32_t sampleRate = 0;   // of the decoded audio
  uint32_t channels = 1;
  // AAC (both forms): the AudioSpecificConfig (ISO/IEC 14496-3 1.6.2.1)
  // that goes into the sample entry.
  std::string config;
  // AAC: one frame in RTP clock ticks (1024 or 960 samples, scaled when the
  // clock is not the core rate).
  uint32_t frameTicks = 1024;
  // mpeg4-generic: the bits of each AU header (RFC 3640 3.3.6).
  uint32_t sizeLength = 0, indexLength = 0, indexDeltaLength = 0;
  // MP4A-LATM: subframes in each AudioMuxElement (numSubFrames + 1).
  uint32_t subframes = 1;
};

// Reads the format of one audio media section. kNone when it can be
// recorded; otherwise `detail` says why not ("G726-32 audio is not
// recorded", "the AAC config cannot be read").
AudioError readAudioFormat(const SDPMedia& media, AudioFormat& format, std::string& detail);

// The value of the fmtp parameter `name` (case-insensitive); empty when absent.
std::string fmtpParameter(const SDPMedia& media, const char* name);

// The AudioSpecificConfig at the start of `bits` (`size` bytes): its rate,
// channels, samples per frame and length in bits. False when it is cut
// short or of an object type the recorder does not take (only the AAC family).
struct AacConfig {
  uint32_t objectType = 0;
  uint32_t sampleRate = 0;  // of the core coder
  uint32_t channels = 0;
  uint32_t frameSamples = 1024;
  size_t bits = 0;
};
bool parseAudioSpecificConfig(const uint8_t* data, size_t size, size_t bitOffset,
                              AacConfig& config);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_AUDIO_FORMAT_H_
