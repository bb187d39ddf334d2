// The rtsp-pull tool's recorder: what reaches the files from a stream of RTP
// packets, their names, and a recording carried across reconnections.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "recorder.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;

const std::string kStart("\0\0\0\1", 4);
const std::string kAnnouncedSets =
    kStart + std::string("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9) + kStart + "\x68\xCE\x3C\x80";

SDP description(const std::string& codec, const std::string& fmtp) {
  SDP sdp;
  sdp.lines = {"v=0\r\n", "m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 " + codec + "/90000\r\n",
               "a=fmtp:96 " + fmtp + "\r\n"};
  return sdp;
}

SDP h264Description() {
  return description("H264", "packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==");
}

// One RTP session of single-NAL pictures, 3000 ticks apart; each picture's
// payload byte is its number in the session.
struct Sender {
  Recorder& recorder;
  uint32_t timestamp;
  uint32_t ssrc = 0x01020304;
  uint16_t sequence = 100;
  uint8_t count = 0;
  void picture(bool keyframe) {
    const std::vector<uint8_t> rtp = rtpPacket(sequence++, timestamp += 3000, ssrc, true,
                                               {uint8_t(keyframe ? 0x65 : 0x41), count++});
    recorder.onPacket(rtp.data(), rtp.size());
  }
};

// What the Annex B output holds of picture `id`.
std::string picture(bool keyframe, unsigned id) {
  return kStart + (keyframe ? '\x65' : '\x41') + static_cast<char>(id);
}

RecorderConfig config(const std::string& pattern, OutputFormat format = OutputFormat::kAnnexB) {
  RecorderConfig c;
  c.outputPattern = pattern;
  c.format = format;
  return c;
}

bool begin(Recorder& recorder, SDP sdp) {
  std::string error;
  const bool ok = recorder.beginStream(sdp, error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

bool finish(Recorder& recorder) {
  std::string error;
  const bool ok = recorder.finish(error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

TEST(RecorderAnnexB, StartsAtAKeyframeWithTheSetsAndAgainAfterAReconnection) {
  TempDir dir;
  Recorder recorder(config(dir.file("out.h264")));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender first{recorder, 1000};
  for (bool keyframe : {false, true, false}) first.picture(keyframe);
  recorder.endStream();
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender second{recorder, 777777, 0x0A0B0C0D};
  for (bool keyframe : {false, true}) second.picture(keyframe);
  ASSERT_TRUE(finish(recorder));
  EXPECT_EQ(readFile(dir.file("out.h264")), kAnnouncedSets + picture(true, 1) + picture(false, 2) +
                                                kAnnouncedSets + picture(true, 1));
  EXPECT_EQ(recorder.stats().packets, 5u);
  EXPECT_EQ(recorder.stats().frames, 3u);
  EXPECT_EQ(recorder.stats().files, 1u);
}

TEST(RecorderAnnexB, StandardOutputStopsAtTheFrameLimitAndFailsWithItsWrite) {
  std::string written;
  bool writable = true;
  RecorderConfig c = config("-");
  c.frameLimit = 2;
  c.standardOutput = [&](const char* data, size_t size) {
    written.append(data, size);
    return writable;
  };
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender{recorder, 0};
  for (bool keyframe : {true, false, false}) sender.picture(keyframe);
  EXPECT_TRUE(recorder.limitReached());
  EXPECT_EQ(written, kAnnouncedSets + picture(true, 0) + picture(false, 1));
  Recorder failing(c);
  writable = false;
  ASSERT_TRUE(begin(failing, h264Description()));
  Sender{failing, 0}.picture(true);
  EXPECT_EQ(failing.failure(), "writing to standard output failed");
  std::string error;
  EXPECT_FALSE(failing.finish(error));
}

TEST(RecorderAnnexB, WritesToADeviceWithoutBeingAskedToOverwrite) {
  Recorder recorder(config("/dev/null"));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender{recorder, 0}.picture(true);
  EXPECT_TRUE(finish(recorder));
}

TEST(RecorderSegments, CutAtTheFirstKeyframeAfterEachBoundaryAndNumbered) {
  TempDir dir;
  RecorderConfig c = config(dir.file("cam.h264"));
  c.segmentSeconds = 1;
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender{recorder, 0};
  // 30 pictures a second, a keyframe every 20: cuts at pictures 40 and 80.
  std::string expected[3] = {kAnnouncedSets, kAnnouncedSets, kAnnouncedSets};
  for (unsigned i = 0; i < 100; ++i) {
    sender.picture(i % 20 == 0);
    expected[i / 40] += picture(i % 20 == 0, i);
  }
  ASSERT_TRUE(finish(recorder));
  EXPECT_EQ(dir.files(),
            (std::set<std::string>{"cam-0001.h264", "cam-0002.h264", "cam-0003.h264"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(readFile(dir.file("cam-000" + std::to_string(i + 1) + ".h264")), expected[i]) << i;
  }
}

TEST(RecorderSegments, TimeFieldsInLocalTimeAndNothingReplaced) {
  TempDir dir;
  RecorderConfig c = config(dir.file("cam-%Y.h264"));
  c.segmentSeconds = 0.1;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char year[8];
  std::strftime(year, sizeof year, "%Y", localtime_r(&now, &local));
  const std::string stem = std::string("cam-") + year;
  // The first name is taken: the recording does not start.
  std::ofstream(dir.file(stem + ".h264")) << "kept";
  {
    Recorder recorder(c);
    SDP sdp = h264Description();
    std::string error;
    EXPECT_FALSE(recorder.beginStream(sdp, error));
  }
  EXPECT_EQ(readFile(dir.file(stem + ".h264")), "kept");
  std::remove(dir.file(stem + ".h264").c_str());
  // Later segments that get the same name are numbered instead.
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender{recorder, 0};
  for (int i = 0; i < 12; ++i) sender.picture(i % 4 == 0);
  ASSERT_TRUE(finish(recorder));
  EXPECT_EQ(dir.files(),
            (std::set<std::string>{stem + ".h264", stem + "-2.h264", stem + "-3.h264"}));
}

TEST(RecorderMp4, ContinuesTheTimelineAcrossTheBreak) {
  TempDir dir;
  Recorder recorder(config(dir.file("out.mp4"), OutputFormat::kMp4));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender first{recorder, 0xFFFFF000u};  // wraps after the first picture
  for (int i = 0; i < 3; ++i) first.picture(i == 0);
  recorder.endStream();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender second{recorder, 5, 0x0A0B0C0D};
  for (int i = 0; i < 3; ++i) second.picture(i == 0);
  ASSERT_TRUE(finish(recorder));
  // The baseMediaDecodeTime of the second fragment: three pictures of 3000
  // ticks, then the pause at 90000 ticks a second.
  const std::string mp4 = readFile(dir.file("out.mp4"));
  const size_t tfdt = mp4.rfind("tfdt");
  ASSERT_LT(tfdt + 16, mp4.size());
  uint64_t time = 0;
  for (size_t i = tfdt + 8; i < tfdt + 16; ++i) time = time << 8 | uint8_t(mp4[i]);
  EXPECT_GE(time, 9000u + 27000u);
  EXPECT_LT(time, 9000u + 27000u + 90000u);
}

TEST(RecorderRefuses, StreamsItCannotRecord) {
  // clang-format off
  struct Case { const char* name; SDP sdp; bool afterH264; const char* error; };
  const Case cases[] = {
      {"another codec", description("VP8", ""), false, "VP8"},
      {"decoding order numbers", description("H265", "sprop-max-don-diff=2;sprop-vps=QAEM"), false,
       "sprop-max-don-diff"},
      {"another codec after a reconnection", description("H265", ""), true, "H.265"},
  };
  // clang-format on
  for (const Case& c : cases) {
    Recorder recorder(config(""));
    if (c.afterH264 && begin(recorder, h264Description())) recorder.endStream();
    SDP sdp = c.sdp;
    std::string error;
    EXPECT_FALSE(recorder.beginStream(sdp, error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
  }
}

}  // namespace
