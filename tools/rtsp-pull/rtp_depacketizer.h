// RTP parsing and the depacketization H.264 and H.265 share (RFC 3550,
// RFC 5761).
//
// Every function here reads only inside the buffer it is given, whatever the
// bytes: lengths in packets are checked before they are followed.
#ifndef RTSP_PULL_RTP_DEPACKETIZER_H_
#define RTSP_PULL_RTP_DEPACKETIZER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtsp_pull {

struct RtpPacket {
  bool marker = false;
  uint8_t payloadType = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  const uint8_t* payload = nullptr;  // points into the parsed buffer
  size_t payloadSize = 0;
};

// True when the interleaved payload is an RTCP packet. The library hands
// over the payload of every interleaved channel without its channel number,
// so RTP and RTCP are told apart the way RFC 5761 multiplexes them: RTCP
// packet types 192..223 fall in a range no RTP payload type uses.
bool isRtcp(const uint8_t* data, size_t size);

// Parses the fixed header, CSRC list, header extension and padding of an
// RTP version 2 packet. False when the packet is shorter than its header says.
bool parseRtp(const uint8_t* data, size_t size, RtpPacket& packet);

// Receives what a depacketizer produces, on the thread that pushes packets.
class NalSink {
 public:
  virtual ~NalSink() = default;
  // One complete NAL unit, header included, no start code. `nal` is
  // valid only during the call.
  virtual void onNal(const uint8_t* nal, size_t size) = 0;
  // Called just before each onAccessUnitEnd() with the RTP timestamp of the
  // access unit's NAL units, and whether one of them was a keyframe picture
  // (H.264 IDR, H.265 IRAP). Ignored unless overridden.
  virtual void onAccessUnitInfo(uint32_t /*timestamp*/, bool /*keyframe*/) {}
  // The end of an access unit that holds a picture: an RTP marker bit, a new
  // timestamp, or a parameter set, SEI or delimiter after its picture. NAL
  // units without a picture (parameter sets, SEI) never end one by
  // themselves: they go with the next picture, whatever their marker bit or
  // timestamp.
  virtual void onAccessUnitEnd() = 0;
  // The sender restarted: a new SSRC, or a sequence jump beyond any loss
  // (confirmed by the packet after it). What follows is a new timeline, and
  // its pictures may refer to none before. Ignored unless overridden.
  virtual void onRestart() {}
};

// What the H.264 and H.265 depacketizers share: RTP parsing, sequence
// tracking, access-unit boundaries and the reassembly of fragmented units.
//
// Loss: a sequence-number gap drops a fragmented NAL unit that was being
// reassembled, whole; the fragments after the gap are dropped up to the next
// start fragment. A late or repeated packet (up to 100 behind in sequence)
// is dropped. A jump of over 3000 ahead (or more than 100 behind) is no
// loss but a restart when the next packet follows it in sequence (RFC 3550
// A.1); otherwise the lone packet is dropped as late. A fragmented NAL unit
// over 16 MiB is dropped. An aggregation packet whose length fields do not
// fit the packet is dropped whole. A fragment run whose end bit never comes
// ends, without loss, at a marker bit or a new timestamp; one that carries
// no byte after its header is dropped as malformed.
class RtpDepacketizer {
 public:
  struct Counters {
    uint64_t lost = 0;              // packets missing in sequence gaps
    uint64_t late = 0;              // packets dropped for going back in sequence
    uint64_t droppedFragments = 0;  // fragment runs dropped for a loss or a bad order
    uint64_t malformed = 0;         // packets that could not be parsed
    uint64_t unsupported = 0;       // packets of types this depacketizer does not take
    uint64_t restarts = 0;          // new SSRCs and sequence jumps taken as a sender restart
  };

  virtual ~RtpDepacketizer() = default;
  RtpDepacketizer(const RtpDepacketizer&) = delete;
  RtpDepacketizer& operator=(const RtpDepacketizer&) = delete;

  // One RTP packet, fixed header included. Calls the sink before returning.
  void push(const uint8_t* data, size_t size);

  // The stream ended: a stream that never sets the marker bit ends its last
  // picture here (one that does is cut short, and the picture is dropped).
  void finish();

  const Counters& counters() const { return counters_; }

 protected:
  explicit RtpDepacketizer(NalSink& sink) : sink_(sink) {}

  // The payload of one packet, at least one byte. The subclass emits units
  // with emit(), aggregation units with emitAggregated(), fragments with
  // fragment(); any other payload must call noFragment() first.
  virtual void handlePayload(const uint8_t* payload, size_t size) = 0;
  // What a unit is to the access unit it belongs to: a coded slice of a
  // picture (of a keyframe or not), a unit that after a picture begins the
  // next access unit (parameter sets, SEI, access unit delimiter), or other.
  enum class UnitRole { kOther, kPicture, kKeyframe, kPrefix };
  virtual UnitRole roleOf(const uint8_t* nal, size_t size) const = 0;

  void emit(const uint8_t* nal, size_t size);
  // Units of an aggregation packet: from `pos`, each a 16-bit big-endian
  // length and that many bytes, up to `size`. Emits all or, when a length
  // does not fit, none (counted as malformed).
  void emitAggregated(const uint8_t* payload, size_t pos, size_t size);
  // One fragment: on a start, `header` (the rebuilt NAL header) begins a new
  // unit; `body` is appended; on an end the unit is emitted.
  void fragment(bool start, bool end, const uint8_t* header, size_t headerSize, const uint8_t* body,
                size_t bodySize);
  // A packet that is no fragment: an unfinished fragmented unit is dropped.
  void noFragment();

  Counters counters_;

 private:
  void process(const RtpPacket& packet, bool discontinuity);
  void restart();
  void dropFragment();
  void completeFragment();
  void endAccessUnit();

  NalSink& sink_;
  bool haveSequence_ = false;
  uint16_t expectedSequence_ = 0;
  uint32_t ssrc_ = 0;
  bool auKeyframe_ = false;
  bool auPicture_ = false;  // a picture was emitted since the last access-unit end
  bool sawMarker_ = false;
  uint32_t auTimestamp_ = 0;
  // Where a fragmented NAL unit stands.
  enum class Fragment {
    kIdle,        // none under way
    kAssembling,  // a start fragment came; `fragment_` holds the unit so far
    kDropping,    // the run was dropped or lost its start: fragments wait for the next start
  };
  Fragment state_ = Fragment::kIdle;
  std::vector<uint8_t> fragment_;
  size_t fragmentHeader_ = 0;  // bytes of fragment_ that are the rebuilt NAL header
  // A packet far off the sequence, held until the next one tells a restart
  // from a stray packet.
  std::vector<uint8_t> held_;
};

}  // namespace rtsp_pull

#endif  // RTSP_PULL_RTP_DEPACKETIZER_H_
