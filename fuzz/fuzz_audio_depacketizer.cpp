// Fuzz target: the rtsp-pull tool's audio depacketizer. Input: one byte
// choosing the format (AAC-hbr, AAC-lbr, MP4A-LATM with one or two subframes,
// Opus, PCMU), then, repeated, a big-endian 2-byte length and the packet
// bytes. Checks: every frame is non-empty, within the bound on a frame put
// together from fragments, and lasts at least a tick.
#include <cstdint>
#include <string>

#include <rtsppull/tracks.h>

#include "audio_depacketizer.h"
#include "check.h"

namespace {

volatile std::uint8_t g_touch;

struct Sink : rtsp_pull::AudioSink {
  void onAudioFrame(std::uint32_t, std::uint32_t duration, const std::uint8_t* data,
                    std::size_t size) override {
    check(size > 0 && size <= (1u << 20));
    check(duration > 0);
    g_touch = data[0] ^ data[size - 1];  // a frame past its buffer shows
  }
};

// The audio section of a description, from its rtpmap and fmtp values.
SDPMedia format(unsigned choice) {
  // clang-format off
  static const std::string kFormats[] = {
      "97 mpeg4-generic/48000\na=fmtp:97 config=1190;sizelength=13;indexlength=3;indexdeltalength=3",
      "97 mpeg4-generic/48000\na=fmtp:97 config=1190;sizelength=6;indexlength=2;indexdeltalength=2",
      "97 MP4A-LATM/48000\na=fmtp:97 config=400023203FC0",
      "97 MP4A-LATM/48000\na=fmtp:97 config=410023203FC0",  // two subframes an element
      "97 opus/48000/2",
      "0 PCMU/8000",
  };
  // clang-format on
  const std::string& f = kFormats[choice % 6];
  return SDPMedia::parseAll("m=audio 0 RTP/AVP " + f.substr(0, f.find(' ')) + "\na=rtpmap:" + f,
                            "rtsp://h/")[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  rtsp_pull::AudioFormat audio;
  std::string detail;
  check(rtsp_pull::readAudioFormat(format(data[0]), audio, detail) == rtsp_pull::AudioError::kNone);
  Sink sink;
  rtsp_pull::AudioDepacketizer depacketizer(audio, sink);
  forEachPacket(data + 1, size - 1,
                [&](const std::uint8_t*, const std::uint8_t* packet, std::size_t n) {
                  depacketizer.push(packet, n);
                });
  return 0;
}
