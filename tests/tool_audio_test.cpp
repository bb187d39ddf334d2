// The rtsp-pull tool's audio: the formats read from media descriptions, and
// the depacketizers of AAC (mpeg4-generic and MP4A-LATM), Opus and G.711.
// Packets are copied into exactly sized heap buffers, so that
// AddressSanitizer reports any read past a packet.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_depacketizer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

// Most formats here are of payload type 97.
SDPMedia media(const std::string& encoding, int rate, int channels,
               std::vector<std::pair<std::string, std::string>> fmtp, int payloadType = 97) {
  return audioMedia(encoding, payloadType, rate, channels, std::move(fmtp));
}

// clang-format off
const SDPMedia kAacHbr = media("MPEG4-GENERIC", 44100, 1, {{"streamtype", "5"}, {"mode", "AAC-hbr"},
    {"config", "1208"}, {"sizelength", "13"}, {"indexlength", "3"}, {"indexdeltalength", "3"}});
const SDPMedia kAacLbr = media("mpeg4-generic", 16000, 1, {{"mode", "AAC-lbr"}, {"config", "1408"},
    {"SizeLength", "6"}, {"IndexLength", "2"}, {"IndexDeltaLength", "2"}});
// clang-format on
const SDPMedia kLatm = media("MP4A-LATM", 44100, 0, {{"cpresent", "0"}, {"config", "40002410"}});
const SDPMedia kOpus = media("OPUS", 48000, 2, {{"sprop-stereo", "1"}});
const SDPMedia kPcmu = media("", 0, 0, {}, 0);

std::string hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

TEST(ToolAudioFormat, ReadsTheCodecItsClocksAndTheDecoderConfig) {
  struct Row {
    const char* name;
    SDPMedia media;
    AudioError error;
    AudioCodec codec;
    uint32_t clockRate, sampleRate, channels;
    const char* config;  // the AudioSpecificConfig, in hex
    uint32_t frameTicks;
  };
  // clang-format off
  const Row rows[] = {
      {"AAC-hbr as GStreamer sends it", kAacHbr, AudioError::kNone, AudioCodec::kAac, 44100, 44100, 1, "1208", 1024},
      {"AAC-lbr, parameter names in any case", kAacLbr, AudioError::kNone, AudioCodec::kAac, 16000, 16000, 1, "1408", 1024},
      {"AAC with 960-sample frames, stereo", media("mpeg4-generic", 48000, 2, {{"config", "1194"}, {"sizeLength", "13"}}), AudioError::kNone, AudioCodec::kAac, 48000, 48000, 2, "1194", 960},
      {"HE-AAC: the core rate, frames in the 48 kHz clock", media("mpeg4-generic", 48000, 2, {{"config", "2B118800"}, {"sizelength", "13"}}), AudioError::kNone, AudioCodec::kAac, 48000, 24000, 2, "2b118800", 2048},
      {"LATM: the StreamMuxConfig's AudioSpecificConfig, cut short", kLatm, AudioError::kNone, AudioCodec::kLatm, 44100, 44100, 1, "1208", 1024},
      {"LATM stereo 48 kHz, full config", media("MP4A-LATM", 48000, 2, {{"config", "400023203FC0"}}), AudioError::kNone, AudioCodec::kLatm, 48000, 48000, 2, "1190", 1024},
      {"Opus: sprop-stereo gives the channels", kOpus, AudioError::kNone, AudioCodec::kOpus, 48000, 48000, 2, "", 1024},
      {"Opus without sprop-stereo is mono", media("opus", 48000, 2, {}), AudioError::kNone, AudioCodec::kOpus, 48000, 48000, 1, "", 1024},
      {"PCMU by its static payload type", kPcmu, AudioError::kNone, AudioCodec::kPcmu, 8000, 8000, 1, "", 1024},
      {"PCMA by name", media("PCMA", 8000, 2, {}), AudioError::kNone, AudioCodec::kPcma, 8000, 8000, 2, "", 1024},
      {"G.726", media("G726-32", 8000, 1, {}), AudioError::kUnsupportedCodec, AudioCodec::kAac, 8000, 0, 1, "", 1024},
      {"L16", media("L16", 44100, 2, {}), AudioError::kUnsupportedCodec, AudioCodec::kAac, 44100, 0, 2, "", 1024},
      {"AAC without config", media("mpeg4-generic", 44100, 1, {{"sizelength", "13"}}), AudioError::kMissingConfig, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"AAC config not hex", media("mpeg4-generic", 44100, 1, {{"config", "12x8"}, {"sizelength", "13"}}), AudioError::kMissingConfig, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"AAC config of another object type", media("mpeg4-generic", 44100, 1, {{"config", "F808"}, {"sizelength", "13"}}), AudioError::kBadConfig, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"AAC without sizelength", media("mpeg4-generic", 44100, 1, {{"config", "1208"}}), AudioError::kBadConfig, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"interleaved AAC", media("mpeg4-generic", 44100, 1, {{"config", "1208"}, {"sizelength", "13"}, {"maxDisplacement", "5"}}), AudioError::kUnsupportedMode, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"AAC with CTS deltas", media("mpeg4-generic", 44100, 1, {{"config", "1208"}, {"sizelength", "13"}, {"CTSDeltaLength", "2"}}), AudioError::kUnsupportedMode, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"LATM with the config in the stream", media("MP4A-LATM", 44100, 1, {{"cpresent", "1"}}), AudioError::kUnsupportedMode, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"LATM with two programs", media("MP4A-LATM", 44100, 1, {{"config", "40102410"}}), AudioError::kUnsupportedMode, AudioCodec::kAac, 44100, 0, 1, "", 1024},
      {"no clock rate", media("opus", 0, 0, {}), AudioError::kBadConfig, AudioCodec::kAac, 0, 0, 1, "", 1024},
  };
  // clang-format on
  for (const Row& row : rows) {
    AudioFormat format;
    std::string detail;
    EXPECT_EQ(readAudioFormat(row.media, format, detail), row.error) << row.name;
    EXPECT_EQ(detail.empty(), row.error == AudioError::kNone) << row.name << ": " << detail;
    if (row.error != AudioError::kNone) continue;
    EXPECT_EQ(format.codec, row.codec) << row.name;
    EXPECT_EQ(format.clockRate, row.clockRate) << row.name;
    EXPECT_EQ(format.sampleRate, row.sampleRate) << row.name;
    EXPECT_EQ(format.channels, row.channels) << row.name;
    EXPECT_EQ(hex(format.config), row.config) << row.name;
    if (!format.config.empty()) {
      EXPECT_EQ(format.frameTicks, row.frameTicks) << row.name;
    }
  }
}

// RFC 3640 AU headers of `sizeLength` bits of size and `indexBits` of
// index (0), the AUs after them.
Bytes aacPayload(unsigned sizeLength, unsigned indexBits, const std::vector<uint32_t>& sizes,
                 const Bytes& data) {
  const unsigned bits = sizeLength + indexBits;
  const size_t headerBits = bits * sizes.size();
  Bytes headers((headerBits + 7) / 8);
  for (size_t i = 0; i < sizes.size(); ++i) {
    for (unsigned b = 0; b < sizeLength; ++b) {
      const size_t at = i * bits + b;
      if ((sizes[i] >> (sizeLength - 1 - b)) & 1) headers[at / 8] |= uint8_t(0x80 >> (at % 8));
    }
  }
  headers.insert(headers.begin(), {uint8_t(headerBits >> 8), uint8_t(headerBits)});
  headers.insert(headers.end(), data.begin(), data.end());
  return headers;
}
Bytes hbr(const std::vector<uint32_t>& sizes, const Bytes& data) {
  return aacPayload(13, 3, sizes, data);
}

struct Frames : AudioSink {
  void onAudioFrame(uint32_t timestamp, uint32_t duration, const uint8_t* data,
                    size_t size) override {
    out += std::to_string(timestamp) + "+" + std::to_string(duration) + ":" +
           hex(std::string(data, data + size)) + " ";
  }
  std::string out;
};

TEST(ToolAudioDepacketizer, YieldsTheFramesAndCountsLossAndDamage) {
  struct Packet {
    uint16_t seq;
    uint32_t timestamp;
    bool marker;
    Bytes payload;
  };
  struct Counts {
    uint64_t lost, dropped, late, malformed;
  };
  struct Row {
    const char* name;
    const SDPMedia& media;
    std::vector<Packet> packets;
    const char* frames;  // "timestamp+duration:hex " each
    Counts counts;
  };
  // clang-format off
  const Row rows[] = {
      {"AAC-hbr: two AUs, the second a frame later", kAacHbr, {{1, 1000, true, hbr({2, 1}, {0xA1, 0xA2, 0xB1})}}, "1000+1024:a1a2 2024+1024:b1 ", {}},
      {"AAC-lbr: 8-bit headers", kAacLbr, {{1, 0, true, aacPayload(6, 2, {1, 2, 1}, {1, 2, 3, 4})}}, "0+1024:01 1024+1024:0203 2048+1024:04 ", {}},
      {"AAC: an AU in three fragments", kAacHbr, {{1, 5, false, hbr({5}, {1, 2})}, {2, 5, false, hbr({5}, {3, 4})}, {3, 5, true, hbr({5}, {5})}}, "5+1024:0102030405 ", {}},
      {"AAC: a lost fragment drops its AU; the next whole AU comes", kAacHbr, {{1, 5, false, hbr({4}, {1, 2})}, {3, 5, true, hbr({4}, {3, 4})}, {4, 1029, true, hbr({1}, {9})}}, "1029+1024:09 ", {1, 1, 0, 0}},
      {"AAC: fragments whose end never comes are dropped at the next timestamp", kAacHbr, {{1, 5, false, hbr({4}, {1, 2})}, {2, 1029, true, hbr({1}, {9})}}, "1029+1024:09 ", {0, 1, 0, 0}},
      {"AAC: headers past the payload, sizes that do not add up, an index", kAacHbr, {{1, 0, true, {0, 32, 0, 8}}, {2, 0, true, hbr({2, 2}, {1, 2, 3})}, {3, 0, true, {0, 16, 0, 9, 7}}, {4, 0, true, {0, 12, 0}}}, "", {0, 0, 0, 4}},
      {"AAC: late and repeated packets are dropped", kAacHbr, {{5, 0, true, hbr({1}, {1})}, {4, 0, true, hbr({1}, {2})}, {5, 0, true, hbr({1}, {3})}}, "0+1024:01 ", {0, 0, 2, 0}},
      {"LATM: one element a packet", kLatm, {{1, 7, true, {2, 0xC1, 0xC2}}}, "7+1024:c1c2 ", {}},
      {"LATM: two elements in one packet", kLatm, {{1, 7, true, {1, 0xC1, 1, 0xC2}}}, "7+1024:c1 1031+1024:c2 ", {}},
      {"LATM: an element over two packets", kLatm, {{1, 7, false, {3, 0xC1}}, {2, 7, true, {0xC2, 0xC3}}}, "7+1024:c1c2c3 ", {}},
      {"LATM: a length past the end drops the element", kLatm, {{1, 7, true, {0xFF, 1, 2}}}, "", {0, 0, 0, 1}},
      {"LATM: a lost packet drops the element being put together", kLatm, {{1, 7, false, {3, 0xC1}}, {3, 7, true, {0xC3}}, {4, 1031, true, {1, 0xD1}}}, "1031+1024:d1 ", {1, 1, 0, 0}},
      {"Opus: 20 ms CELT, three 20 ms frames, 60 ms SILK", kOpus, {{1, 0, true, {0xF8, 1}}, {2, 960, true, {0xFB, 3, 1}}, {3, 3840, true, {0x18, 1}}}, "0+960:f801 960+2880:fb0301 3840+2880:1801 ", {}},
      {"Opus: an empty payload, a frame count missing", kOpus, {{1, 0, true, {}}, {2, 0, true, {0xFB}}}, "", {0, 0, 0, 2}},
      {"PCMU: a sample a byte", kPcmu, {{1, 160, true, {0xFF, 0x7F, 0x00}}}, "160+3:ff7f00 ", {}},
  };
  // clang-format on
  for (const Row& row : rows) {
    AudioFormat format;
    std::string detail;
    ASSERT_EQ(readAudioFormat(row.media, format, detail), AudioError::kNone) << row.name;
    Frames sink;
    AudioDepacketizer depacketizer(format, sink);
    for (const Packet& p : row.packets) {
      const Bytes rtp = rtpPacket(p.seq, p.timestamp, 1, p.marker, p.payload);
      depacketizer.push(Bytes(rtp).data(), rtp.size());
    }
    EXPECT_EQ(sink.out, row.frames) << row.name;
    const AudioDepacketizer::Counters& n = depacketizer.counters();
    EXPECT_EQ(n.lost, row.counts.lost) << row.name;
    EXPECT_EQ(n.droppedFragments, row.counts.dropped) << row.name;
    EXPECT_EQ(n.late, row.counts.late) << row.name;
    EXPECT_EQ(n.malformed, row.counts.malformed) << row.name;
  }
}

}  // namespace
