// The rtsp-pull tool's recorder: what reaches the files from a stream of RTP
// packets, their names, and a recording carried across reconnections.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "recorder.h"

namespace {

using namespace rtsp_pull;
using Bytes = std::vector<uint8_t>;

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/recorder-test.XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "";
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

SDP h264Description() {
  SDP sdp;
  sdp.lines = {"v=0\r\n", "m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 H264/90000\r\n",
               "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n"};
  return sdp;
}

// One RTP packet of payload type 96 carrying `payload`.
Bytes rtp(uint16_t sequence, uint32_t timestamp, bool marker, const Bytes& payload) {
  Bytes packet(12 + payload.size());
  packet[0] = 0x80;
  packet[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | 96);
  for (int i = 0; i < 2; ++i) packet[2 + i] = static_cast<uint8_t>(sequence >> (8 - 8 * i));
  for (int i = 0; i < 4; ++i) packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
  packet[8] = 1;  // SSRC 0x01020304
  packet[9] = 2;
  packet[10] = 3;
  packet[11] = 4;
  std::copy(payload.begin(), payload.end(), packet.begin() + 12);
  return packet;
}

void push(Recorder& recorder, const Bytes& packet) {
  recorder.onPacket(packet.data(), packet.size());
}

const std::string kStart("\0\0\0\1", 4);
const std::string kSdpSets = kStart + std::string("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9) +
                             kStart + std::string("\x68\xCE\x3C\x80");

TEST(RecorderAnnexB, WritesTheAnnouncedSetsThenFromTheFirstKeyframe) {
  TempDir dir;
  RecorderConfig config;
  config.outputPattern = dir.file("out.h264");
  Recorder recorder(config);
  SDP sdp = h264Description();
  std::string error;
  ASSERT_TRUE(recorder.beginStream(sdp, error)) << error;
  push(recorder, rtp(1, 0, true, {0x41, 1}));        // before the keyframe: left out
  push(recorder, rtp(2, 3000, true, {0x65, 2, 3}));  // IDR
  push(recorder, rtp(3, 6000, true, {0x41, 4}));
  recorder.endStream();
  ASSERT_TRUE(recorder.finish(error)) << error;
  EXPECT_EQ(readFile(config.outputPattern),
            kSdpSets + kStart + "\x65\x02\x03" + kStart + "\x41\x04");
  const RecorderStats stats = recorder.stats();
  EXPECT_EQ(stats.packets, 3u);
  EXPECT_EQ(stats.frames, 2u);
  EXPECT_EQ(stats.files, 1u);
}

TEST(RecorderAnnexB, NeverReplacesAnExistingFileUnlessAsked) {
  TempDir dir;
  const std::string path = dir.file("out.h264");
  std::ofstream(path) << "kept";
  for (const bool overwrite : {false, true}) {
    RecorderConfig config;
    config.outputPattern = path;
    config.overwrite = overwrite;
    Recorder recorder(config);
    SDP sdp = h264Description();
    std::string error;
    EXPECT_EQ(recorder.beginStream(sdp, error), overwrite) << error;
    recorder.finish(error);
    EXPECT_EQ(readFile(path) == "kept", !overwrite) << "overwrite " << overwrite;
  }
}

}  // namespace
