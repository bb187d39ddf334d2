// Audio frames out of RTP packets: AAC (RFC 3640 mpeg4-generic, AAC-hbr and
// AAC-lbr, several AUs per packet, AUs fragmented across packets; RFC 6416
// MP4A-LATM with cpresent=0), Opus (RFC 7587) and G.711 (PCMU, PCMA).
//
// Reads only inside the packets it is given, whatever their bytes.
#ifndef RTSP_PULL_AUDIO_DEPACKETIZER_H_
#define RTSP_PULL_AUDIO_DEPACKETIZER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio_format.h"
#include "rtp_depacketizer.h"

namespace rtsp_pull {

class AudioSink {
 public:
  virtual ~AudioSink() = default;
  // One frame (an AAC access unit, an Opus packet, a run of G.711 samples)
  // at RTP time `timestamp`, lasting `duration` ticks of the RTP clock.
  // `data` is valid only during the call.
  virtual void onAudioFrame(uint32_t timestamp, uint32_t duration, const uint8_t* data,
                            size_t size) = 0;
};

// Loss: a sequence gap drops a frame being put together from fragments, and
// fragments after the gap are dropped up to the end of their frame (the
// marker). A late or repeated packet is dropped. A packet whose headers or
// lengths do not fit is dropped whole.
class AudioDepacketizer {
 public:
  struct Counters {
    uint64_t lost = 0;              // packets missing in sequence gaps
    uint64_t late = 0;              // packets dropped for going back in sequence
    uint64_t droppedFragments = 0;  // frames put together from fragments and dropped
    uint64_t malformed = 0;         // packets that could not be read
  };

  AudioDepacketizer(const AudioFormat& format, AudioSink& sink);
  AudioDepacketizer(const AudioDepacketizer&) = delete;
  AudioDepacketizer& operator=(const AudioDepacketizer&) = delete;

  // One RTP packet, fixed header included. Calls the sink before returning.
  void push(const uint8_t* data, size_t size);

  const Counters& counters() const { return counters_; }

 private:
  // A frame spread over several packets.
  enum class Assembly {
    kIdle,        // none under way
    kAssembling,  // `pending_` holds the frame so far
    kDropping,    // a loss: fragments are dropped up to the next marker
  };

  void aac(const RtpPacket& packet);
  void latm(const RtpPacket& packet);
  void emitLatm(uint32_t timestamp, const uint8_t* data, size_t size);
  void drop();
  void emit(uint32_t timestamp, uint32_t duration, const uint8_t* data, size_t size) {
    sink_.onAudioFrame(timestamp, duration, data, size);
  }

  AudioFormat format_;
  AudioSink& sink_;
  Counters counters_;
  bool haveSequence_ = false;
  uint16_t expectedSequence_ = 0;
  uint32_t ssrc_ = 0;
  Assembly state_ = Assembly::kIdle;
  uint32_t pendingTimestamp_ = 0;
  size_t pendingSize_ = 0;  // AAC: the size of the AU being put together
  std::vector<uint8_t> pending_;
};

// The duration in 48 kHz ticks of an Opus packet (RFC 6716 3.1); 0 when its
// table of contents cannot be read or says over 120 ms.
uint32_t opusPacketTicks(const uint8_t* data, size_t size);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_AUDIO_DEPACKETIZER_H_
