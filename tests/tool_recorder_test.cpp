// The rtsp-pull tool's recorder, driven with RTP packets as the session
// delivers them: what reaches the files, their names, a recording carried
// across reconnections, and what it refuses.
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
const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9), kPps("\x68\xCE\x3C\x80");
const std::string kAnnouncedSets = kStart + kSps + kStart + kPps;

SDP description(const std::string& codec, const std::string& fmtp) {
  SDP sdp;
  sdp.lines = {"v=0\r\n", "m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 " + codec + "/90000\r\n",
               "a=fmtp:96 " + fmtp + "\r\n"};
  return sdp;
}

// Parameters after the sets: the PPS must still end where its own text does.
SDP h264Description() {
  return description("H264", "sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==;profile-level-id=42001E");
}

// NAL unit headers.
constexpr char kIdr = 0x65, kSlice = 0x41, kSei = 0x06, kSpsType = 0x67, kPpsType = 0x68;

// One RTP session of access units 3000 ticks apart, one single-NAL packet
// per unit; each unit's payload byte is the number of its access unit.
struct Sender {
  Recorder& recorder;
  uint32_t timestamp;
  uint32_t ssrc = 0x01020304;
  uint16_t sequence = 100;
  uint8_t count = 0;
  Progress unit(const std::string& types) {
    timestamp += 3000;
    Progress progress = Progress::kRecording;
    for (size_t i = 0; i < types.size(); ++i) {
      const std::vector<uint8_t> rtp =
          rtpPacket(sequence++, timestamp, ssrc, i + 1 == types.size(), {uint8_t(types[i]), count});
      progress = recorder.onPacket(rtp.data(), rtp.size());
    }
    ++count;
    return progress;
  }
  void picture(bool keyframe) { unit(std::string(1, keyframe ? kIdr : kSlice)); }
};

// What the Annex B output holds of a unit of `type` in access unit `id`.
std::string nal(char type, unsigned id) { return kStart + type + static_cast<char>(id); }

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

TEST(ToolRecorder, AnnexBStartsAtAKeyframeWithItsSetsAndCountsPictures) {
  struct Row {
    const char* name;
    bool waitForKeyframe;
    uint64_t frameLimit;
    bool announced;                              // the SDP carries the sets
    std::vector<std::vector<std::string>> runs;  // per session, the access units' NAL types
    std::string written;
    uint64_t frames;
  };
  const std::string idr(1, kIdr), slice(1, kSlice);
  const std::string inBandSets = kStart + kSpsType + '\1' + kStart + kPpsType + '\1';
  const Row rows[] = {
      {"after a reconnection, again the sets and a keyframe",
       true,
       0,
       true,
       {{slice, idr, slice}, {slice, idr}},
       kAnnouncedSets + nal(kIdr, 1) + nal(kSlice, 2) + kAnnouncedSets + nal(kIdr, 1),
       3},
      {"without the keyframe wait, from the first picture",
       false,
       0,
       true,
       {{slice, idr}},
       kAnnouncedSets + nal(kSlice, 0) + nal(kIdr, 1),
       2},
      {"the frame limit ends the writing",
       true,
       2,
       true,
       {{idr, slice, slice}},
       kAnnouncedSets + nal(kIdr, 0) + nal(kSlice, 1),
       2},
      {"a unit without a picture is written but no frame",
       true,
       0,
       true,
       {{idr, std::string(1, kSei)}},
       kAnnouncedSets + nal(kIdr, 0) + nal(kSei, 1),
       1},
      {"sets from inside the stream go first, once",
       true,
       0,
       false,
       {{idr, {kSpsType, kPpsType, kIdr}}},
       inBandSets + nal(kIdr, 1),
       1},
  };
  for (const Row& row : rows) {
    std::string written;
    RecorderConfig c = config("-");
    c.waitForKeyframe = row.waitForKeyframe;
    c.frameLimit = row.frameLimit;
    c.standardOutput = [&written](const char* data, size_t size) {
      written.append(data, size);
      return true;
    };
    Recorder recorder(c);
    uint32_t ssrc = 1;
    for (const std::vector<std::string>& run : row.runs) {
      ASSERT_TRUE(begin(recorder, row.announced ? h264Description() : description("H264", "")));
      Sender sender{recorder, 777777 * ssrc, ssrc++};
      for (const std::string& types : run) sender.unit(types);
      recorder.endStream();
    }
    EXPECT_TRUE(recorder.finish()) << row.name;
    EXPECT_EQ(written, row.written) << row.name;
    EXPECT_EQ(recorder.stats().frames, row.frames) << row.name;
  }
}

TEST(ToolRecorder, CountsRtpLeavesRtcpOutAndCopiesRtpToTheRtpdumpFile) {
  TempDir dir;
  RecorderConfig c = config("");
  c.rtpdumpPath = dir.file("copy.rtpdump");
  Recorder recorder(c);
  std::string error;
  ASSERT_TRUE(recorder.open(0x7F000001, 554, error)) << error;
  ASSERT_TRUE(begin(recorder, h264Description()));
  const std::vector<uint8_t> rtcp = {0x80, 200, 0, 6, 1, 2, 3, 4};
  EXPECT_EQ(recorder.onPacket(rtcp.data(), rtcp.size()), Progress::kRecording);
  Sender sender{recorder, 0};
  sender.picture(true);
  EXPECT_EQ(sender.unit(std::string(1, kSlice)), Progress::kRecording);
  ASSERT_TRUE(recorder.finish());
  EXPECT_EQ(recorder.stats().packets, 2u);
  EXPECT_EQ(recorder.stats().bytes, 28u);
  const size_t preamble = std::string("#!rtpplay1.0 127.0.0.1/554\n").size() + 16;
  EXPECT_EQ(readFile(c.rtpdumpPath).size(), preamble + 2 * (8 + 14));
}

TEST(ToolRecorder, AFailedWriteIsReportedOnceAndEndsTheRecording) {
  RecorderConfig c = config("-");
  c.standardOutput = [](const char*, size_t) { return false; };
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender{recorder, 0};
  EXPECT_EQ(sender.unit(std::string(1, kIdr)), Progress::kFailed);
  std::string reason;
  EXPECT_TRUE(recorder.takeFailure(reason));
  EXPECT_EQ(reason, "writing to standard output failed");
  EXPECT_FALSE(recorder.takeFailure(reason)) << "reported once";
  EXPECT_FALSE(recorder.finish());
}

TEST(ToolRecorder, SegmentsCutAtTheFirstKeyframeAfterEachBoundaryAndAreNumbered) {
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
    expected[i / 40] += nal(i % 20 == 0 ? kIdr : kSlice, i);
  }
  ASSERT_TRUE(recorder.finish());
  EXPECT_EQ(recorder.stats().files, 3u);
  for (int i = 0; i < 3; ++i) {
    const std::string name = "cam-000" + std::to_string(i + 1) + ".h264";
    EXPECT_EQ(readFile(dir.file(name)), expected[i]) << name;
  }
}

TEST(ToolRecorder, TimeFieldsNameSegmentsInLocalTimeAndTakenNamesGetANumber) {
  TempDir dir;
  RecorderConfig c = config(dir.file("cam-%Y.h264"));
  c.segmentSeconds = 0.1;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char year[8];
  std::strftime(year, sizeof year, "%Y", localtime_r(&now, &local));
  const std::string stem = std::string("cam-") + year;
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender sender{recorder, 0};
  for (int i = 0; i < 12; ++i) sender.picture(i % 4 == 0);
  ASSERT_TRUE(recorder.finish());
  EXPECT_EQ(dir.files(),
            (std::set<std::string>{stem + ".h264", stem + "-2.h264", stem + "-3.h264"}));
}

TEST(ToolRecorder, Mp4ContinuesTheTimelineAcrossTheBreak) {
  TempDir dir;
  Recorder recorder(config(dir.file("out.mp4"), OutputFormat::kMp4));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender first{recorder, 0xFFFFF000u};  // wraps after the first picture
  for (int i = 0; i < 3; ++i) first.picture(i == 0);
  const auto before = std::chrono::steady_clock::now();
  recorder.endStream();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(begin(recorder, h264Description()));
  const double pause =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  Sender second{recorder, 5, 0x0A0B0C0D};
  for (int i = 0; i < 3; ++i) second.picture(i == 0);
  ASSERT_TRUE(recorder.finish());
  // The baseMediaDecodeTime of the second fragment: three pictures of 3000
  // ticks, then the pause (at least 300 ms, at most `pause`) at 90000 ticks
  // a second.
  const std::string mp4 = readFile(dir.file("out.mp4"));
  const size_t tfdt = mp4.rfind("tfdt");
  ASSERT_LT(tfdt + 16, mp4.size());
  uint64_t time = 0;
  for (size_t i = tfdt + 8; i < tfdt + 16; ++i) time = time << 8 | uint8_t(mp4[i]);
  EXPECT_GE(time, 9000u + 27000u);
  EXPECT_LE(time, 9000u + static_cast<uint64_t>(pause * 90000) + 1);
}

TEST(ToolRecorder, RefusesWhatItCannotRecordAndReplacesNoFile) {
  struct Row {
    const char* name;
    SDP sdp;
    const char* error;        // a fragment of the refusal; "" when accepted
    std::string output = "";  // names in the scratch directory
    std::string rtpdump = "";
    std::string existing = "";  // a file there before
    bool overwrite = false;
    double segment = 0;
    bool afterH264 = false;  // a reconnection after an H.264 stream
  };
  const SDP h264 = h264Description();
  const Row rows[] = {
      {"another codec", description("VP8", ""), "VP8"},
      {"decoding order numbers", description("H265", "sprop-max-don-diff=2;sprop-vps=QAEM"),
       "sprop-max-don-diff"},
      {"another codec after a reconnection", description("H265", ""), "H.265", "", "", "", false, 0,
       true},
      {"an existing output file", h264, "the file exists", "a.h264", "", "a.h264"},
      {"an existing first segment", h264, "the file exists", "a.h264", "", "a-0001.h264", false, 1},
      {"an existing output file, with overwrite", h264, "", "a.h264", "", "a.h264", true},
      {"an existing rtpdump file", h264, "the file exists", "", "a.rtpdump", "a.rtpdump"},
      {"an existing rtpdump file, with overwrite", h264, "", "", "a.rtpdump", "a.rtpdump", true},
  };
  for (const Row& row : rows) {
    TempDir dir;
    RecorderConfig c = config(row.output.empty() ? "" : dir.file(row.output));
    c.rtpdumpPath = row.rtpdump.empty() ? "" : dir.file(row.rtpdump);
    c.overwrite = row.overwrite;
    c.segmentSeconds = row.segment;
    if (!row.existing.empty()) std::ofstream(dir.file(row.existing)) << "kept";
    Recorder recorder(c);
    std::string error;
    bool ok = recorder.open(0, 554, error);
    if (ok && row.afterH264 && begin(recorder, h264)) recorder.endStream();
    SDP sdp = row.sdp;
    ok = ok && recorder.beginStream(sdp, error);
    EXPECT_EQ(ok, *row.error == '\0') << row.name;
    EXPECT_NE(error.find(row.error), std::string::npos) << row.name << ": " << error;
    if (!row.existing.empty()) {
      EXPECT_EQ(readFile(dir.file(row.existing)) == "kept", !row.overwrite) << row.name;
    }
  }
}

TEST(ToolRecorder, WritesToADeviceWithoutBeingAskedToOverwrite) {
  Recorder recorder(config("/dev/null"));
  ASSERT_TRUE(begin(recorder, h264Description()));
  Sender{recorder, 0}.picture(true);
  EXPECT_TRUE(recorder.finish());
  EXPECT_EQ(recorder.stats().files, 1u);
}

}  // namespace
