// The rtsp-pull tool's recorder: what reaches the files from a stream of RTP
// packets, their names, and a recording carried across reconnections.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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
    for (const std::string& name : files()) std::remove(file(name).c_str());
    rmdir(path_.c_str());
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::set<std::string> files() const {
    std::set<std::string> names;
    if (DIR* dir = opendir(path_.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.insert(entry->d_name);
      }
      closedir(dir);
    }
    return names;
  }

 private:
  std::string path_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9);
const std::string kPps("\x68\xCE\x3C\x80");
const std::string kStart("\0\0\0\1", 4);
const std::string kAnnouncedSets = kStart + kSps + kStart + kPps;

SDP description(const std::string& codec, const std::string& fmtp) {
  SDP sdp;
  sdp.lines = {"v=0\r\n", "m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 " + codec + "/90000\r\n",
               "a=fmtp:96 " + fmtp + "\r\n"};
  return sdp;
}

SDP h264Description() {
  return description("H264", "packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==");
}

// Sends access units of single-NAL packets, one per picture, with the
// sequence numbers and timestamps of one RTP session.
class Sender {
 public:
  Sender(Recorder& recorder, uint32_t timestamp, uint32_t ssrc = 0x01020304)
      : recorder_(recorder), timestamp_(timestamp), ssrc_(ssrc) {}

  // One picture `interval` ticks after the previous one; a keyframe (IDR)
  // or not. Its payload bytes say which picture it is.
  void picture(bool keyframe, uint32_t interval = 3000) {
    timestamp_ += interval;
    const auto id = static_cast<uint8_t>(count_++);
    send({static_cast<uint8_t>(keyframe ? 0x65 : 0x41), id}, true);
  }
  void send(const Bytes& payload, bool marker) {
    Bytes packet(12 + payload.size());
    packet[0] = 0x80;
    packet[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | 96);
    for (int i = 0; i < 2; ++i) packet[2 + i] = static_cast<uint8_t>(sequence_ >> (8 - 8 * i));
    for (int i = 0; i < 4; ++i) {
      packet[4 + i] = static_cast<uint8_t>(timestamp_ >> (24 - 8 * i));
      packet[8 + i] = static_cast<uint8_t>(ssrc_ >> (24 - 8 * i));
    }
    std::copy(payload.begin(), payload.end(), packet.begin() + 12);
    ++sequence_;
    recorder_.onPacket(packet.data(), packet.size());
  }

 private:
  Recorder& recorder_;
  uint32_t timestamp_;
  uint32_t ssrc_;
  uint16_t sequence_ = 100;
  unsigned count_ = 0;
};

std::string picture(bool keyframe, unsigned id) {
  return kStart + std::string(1, keyframe ? '\x65' : '\x41') +
         std::string(1, static_cast<char>(id));
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

// The baseMediaDecodeTime of every fragment of an MP4 file, in order.
std::vector<uint64_t> fragmentTimes(const std::string& mp4) {
  std::vector<uint64_t> times;
  for (size_t at = mp4.find("tfdt"); at != std::string::npos; at = mp4.find("tfdt", at + 4)) {
    uint64_t t = 0;
    for (size_t i = 0; i < 8 && at + 8 + i < mp4.size(); ++i)
      t = (t << 8) | static_cast<uint8_t>(mp4[at + 8 + i]);
    times.push_back(t);
  }
  return times;
}

TEST(RecorderAnnexB, WritesTheAnnouncedSetsThenFromTheFirstKeyframe) {
  TempDir dir;
  Recorder recorder(config(dir.file("out.h264")));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender(recorder, 0);
  sender.picture(false);  // before the keyframe: left out
  sender.picture(true);
  sender.picture(false);
  std::string error;
  ASSERT_TRUE(recorder.finish(error)) << error;
  EXPECT_EQ(readFile(dir.file("out.h264")), kAnnouncedSets + picture(true, 1) + picture(false, 2));
  const RecorderStats stats = recorder.stats();
  EXPECT_EQ(stats.packets, 3u);
  EXPECT_EQ(stats.frames, 2u);
  EXPECT_EQ(stats.files, 1u);
}

TEST(RecorderAnnexB, ContinuesAfterAReconnectionWithTheSetsAndAKeyframe) {
  TempDir dir;
  Recorder recorder(config(dir.file("out.h264")));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender first(recorder, 1000);
  first.picture(true);
  first.picture(false);
  recorder.endStream();
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender second(recorder, 777777, 0x0A0B0C0D);
  second.picture(false);  // no keyframe yet after the break: left out
  second.picture(true);
  std::string error;
  ASSERT_TRUE(recorder.finish(error)) << error;
  EXPECT_EQ(readFile(dir.file("out.h264")), kAnnouncedSets + picture(true, 0) + picture(false, 1) +
                                                kAnnouncedSets + picture(true, 1));
  EXPECT_EQ(recorder.stats().files, 1u);
}

TEST(RecorderAnnexB, StandardOutputAndFrameLimit) {
  std::string written;
  RecorderConfig c = config("-");
  c.frameLimit = 2;
  c.standardOutput = [&written](const char* data, size_t size) {
    written.append(data, size);
    return true;
  };
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender(recorder, 0);
  for (bool keyframe : {true, false, false, true}) sender.picture(keyframe);
  EXPECT_TRUE(recorder.limitReached());
  std::string error;
  ASSERT_TRUE(recorder.finish(error)) << error;
  EXPECT_EQ(written, kAnnouncedSets + picture(true, 0) + picture(false, 1));
  EXPECT_EQ(recorder.stats().frames, 2u);
}

TEST(RecorderAnnexB, AFailedWriteFailsTheRecording) {
  RecorderConfig c = config("-");
  c.standardOutput = [](const char*, size_t) { return false; };
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender(recorder, 0).picture(true);
  EXPECT_TRUE(recorder.failed());
  EXPECT_EQ(recorder.failure(), "writing to standard output failed");
  std::string error;
  EXPECT_FALSE(recorder.finish(error));
}

TEST(RecorderAnnexB, WritesToADeviceWithoutBeingAskedToOverwrite) {
  Recorder recorder(config("/dev/null"));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender(recorder, 0).picture(true);
  std::string error;
  EXPECT_TRUE(recorder.finish(error)) << error;
}

TEST(RecorderSegments, CutAtTheFirstKeyframeAfterEachBoundaryAndNumbered) {
  TempDir dir;
  RecorderConfig c = config(dir.file("cam.h264"));
  c.segmentSeconds = 1;
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender(recorder, 0);
  // 30 pictures a second, a keyframe every 20: cuts at pictures 40 and 80.
  std::string expected[3];
  for (unsigned i = 0; i < 100; ++i) {
    const bool keyframe = i % 20 == 0;
    sender.picture(keyframe);
    std::string& file = expected[i < 40 ? 0 : i < 80 ? 1 : 2];
    if (file.empty()) file = kAnnouncedSets;
    file += picture(keyframe, i);
  }
  std::string error;
  ASSERT_TRUE(recorder.finish(error)) << error;
  EXPECT_EQ(dir.files(),
            (std::set<std::string>{"cam-0001.h264", "cam-0002.h264", "cam-0003.h264"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(readFile(dir.file("cam-000" + std::to_string(i + 1) + ".h264")), expected[i])
        << "segment " << i + 1;
  }
  EXPECT_EQ(recorder.stats().files, 3u);
}

TEST(RecorderSegments, TimeFieldsInLocalTimeAndNothingReplaced) {
  TempDir dir;
  RecorderConfig c = config(dir.file("cam-%Y.h264"));
  c.segmentSeconds = 0.1;
  char year[8];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(year, sizeof year, "%Y", &local);
  const std::string name = std::string("cam-") + year + ".h264";
  // The first name is taken: the recording does not start.
  std::ofstream(dir.file(name)) << "kept";
  {
    Recorder recorder(c);
    SDP sdp = h264Description();
    std::string error;
    EXPECT_FALSE(recorder.beginStream(sdp, error));
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
  EXPECT_EQ(readFile(dir.file(name)), "kept");
  std::remove(dir.file(name).c_str());
  // Later segments that get the same name are numbered instead.
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender(recorder, 0);
  for (int i = 0; i < 12; ++i) sender.picture(i % 4 == 0);
  std::string error;
  ASSERT_TRUE(recorder.finish(error)) << error;
  const std::string stem = std::string("cam-") + year;
  EXPECT_EQ(dir.files(),
            (std::set<std::string>{stem + ".h264", stem + "-2.h264", stem + "-3.h264"}));
}

TEST(RecorderMp4, ContinuesTheTimelineAcrossTheBreak) {
  TempDir dir;
  Recorder recorder(config(dir.file("out.mp4"), OutputFormat::kMp4));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender first(recorder, 0xFFFFFF00u);  // wraps at once
  for (int i = 0; i < 3; ++i) first.picture(i == 0);
  recorder.endStream();
  const auto pause = std::chrono::milliseconds(300);
  std::this_thread::sleep_for(pause);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender second(recorder, 5, 0x0A0B0C0D);
  for (int i = 0; i < 3; ++i) second.picture(i == 0);
  std::string error;
  ASSERT_TRUE(recorder.finish(error)) << error;
  // Three pictures of 3000 ticks, then the pause at 90000 ticks a second.
  const std::vector<uint64_t> times = fragmentTimes(readFile(dir.file("out.mp4")));
  ASSERT_EQ(times.size(), 2u);
  EXPECT_EQ(times[0], 0u);
  EXPECT_GE(times[1], 9000u + 27000u);
  EXPECT_LT(times[1], 9000u + 27000u + 90000u);
}

TEST(RecorderRefuses, StreamsItCannotRecord) {
  struct Case {
    const char* name;
    SDP sdp;
    const char* error;
  };
  const Case cases[] = {
      {"another codec", description("VP8", ""), "VP8"},
      {"decoding order numbers",
       description("H265", "sprop-max-don-diff=2;sprop-vps=QAEM;sprop-sps=QgEB;sprop-pps=RAHA"),
       "sprop-max-don-diff"},
  };
  for (const Case& c : cases) {
    Recorder recorder(config(""));
    SDP sdp = c.sdp;
    std::string error;
    EXPECT_FALSE(recorder.beginStream(sdp, error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
  }
}

TEST(RecorderRefuses, AnotherCodecAfterAReconnection) {
  Recorder recorder(config(""));
  ASSERT_TRUE(begin(recorder, h264Description()));
  recorder.endStream();
  SDP h265 = description("H265", "");
  std::string error;
  EXPECT_FALSE(recorder.beginStream(h265, error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
