// Fuzz target: the rtsp-pull tool's audio depacketizer. Input: one byte
// choosing the format (AAC-hbr, AAC-lbr, MP4A-LATM with one or two subframes,
// Opus, PCMU), then, repeated, a big-endian 2-byte length and the packet
// bytes. Checks: every frame is non-empty, within the bound on a frame put
// together from fragments, and lasts at least a tick.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

SDPMedia format(unsigned choice) {
  struct Format {
    const char* encoding;
    int clockRate;
    std::vector<std::pair<std::string, std::string>> fmtp;
  };
  // clang-format off
  static const Format kFormats[] = {
      {"mpeg4-generic", 48000, {{"config", "1190"}, {"sizelength", "13"}, {"indexlength", "3"}, {"indexdeltalength", "3"}}},
      {"mpeg4-generic", 48000, {{"config", "1190"}, {"sizelength", "6"}, {"indexlength", "2"}, {"indexdeltalength", "2"}}},
      {"MP4A-LATM", 48000, {{"config", "400023203FC0"}}},
      {"MP4A-LATM", 48000, {{"config", "410023203FC0"}}},  // two subframes an element
      {"opus", 48000, {}},
      {"PCMU", 8000, {}},
  };
  // clang-format on
  const Format& f = kFormats[choice % 6];
  SDPMedia m;
  m.media = "audio";
  m.encodingName = f.encoding;
  m.clockRate = f.clockRate;
  m.fmtp = f.fmtp;
  return m;
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
