// The rtsp-pull tool's recorder, driven with RTP packets as the session
// delivers them: what reaches the files (checked with ffprobe and ffmpeg for
// MP4), their names, a recording carried across reconnections, and what it
// refuses.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "recorder.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;

const std::string kStart("\0\0\0\1", 4);
const std::string kSets =
    kStart + std::string("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9) + kStart + "\x68\xCE\x3C\x80";

SDP description(const std::string& codec, const std::string& fmtp = "") {
  SDP sdp;
  sdp.lines = {"v=0\r\n", "m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 " + codec + "/90000\r\n",
               "a=fmtp:96 " + fmtp + "\r\n"};
  return sdp;
}

// kSets; parameters after them, and still the PPS ends where its own text does.
const SDP kH264 =
    description("H264", "sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==;profile-level-id=42001E");

// H.264 NAL units by letter: K an IDR slice, P another slice, E an SEI, s an SPS, p a PPS.
char nalHeader(char letter) { return "\x65\x41\x06\x67\x68"[std::string("KPEsp").find(letter)]; }

// One RTP session of access units 3000 ticks apart, a single-NAL packet per
// unit, the marker on the last; each unit's second byte is its access unit's number.
struct Sender {
  Recorder& recorder;
  uint32_t timestamp;
  uint32_t ssrc = 0x01020304;
  uint16_t sequence = 100;
  uint8_t count = 0;
  // Access units separated by spaces, e.g. "spK P P"; the progress after the last.
  Progress send(const std::string& units) {
    Progress progress = Progress::kRecording;
    std::istringstream words(units);
    for (std::string unit; words >> unit; ++count) {
      timestamp += 3000;
      for (size_t i = 0; i < unit.size(); ++i) {
        const std::vector<uint8_t> rtp =
            rtpPacket(sequence++, timestamp, ssrc, i + 1 == unit.size(),
                      {uint8_t(nalHeader(unit[i])), count});
        progress = recorder.onPacket(rtp.data(), rtp.size());
      }
    }
    return progress;
  }
};

// The Annex B bytes of `units`, separated by spaces: "=" for kSets, or a
// letter and the number of the unit's access unit ("K0").
std::string annexB(const std::string& units) {
  std::istringstream words(units);
  std::string bytes;
  for (std::string word; words >> word;)
    bytes += word == "=" ? kSets : kStart + nalHeader(word[0]) + char(std::stoi(word.substr(1)));
  return bytes;
}

RecorderConfig config(const std::string& pattern, OutputFormat format = OutputFormat::kAnnexB) {
  RecorderConfig c;
  c.outputPattern = pattern;
  c.format = format;
  return c;
}

// The big-endian field of `bytes` at `offset` past the type of an MP4 file's
// first (or last) box of `type`.
uint64_t field(const std::string& mp4, const char* type, size_t offset, size_t bytes,
               bool last = false) {
  const size_t at = (last ? mp4.rfind(type) : mp4.find(type)) + offset;
  uint64_t value = 0;
  for (size_t i = at; i < at + bytes && i < mp4.size(); ++i) value = value << 8 | uint8_t(mp4[i]);
  return value;
}

// The stream of `sdp`, with `audio` as the media read from it when there is any.
bool begin(Recorder& recorder, SDP sdp, const std::vector<SDPMedia>& audio = {}) {
  std::string error;
  const bool ok =
      audio.empty() ? recorder.beginStream(sdp, error) : recorder.beginStream(sdp, audio, error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

// The cases of data/tool_recorder_annexb.txt.
TEST(ToolRecorder, AnnexBStartsAtAKeyframeWithItsSetsCountsPicturesAndCopiesRtp) {
  const auto rows = rtsptest::dataFields("tool_recorder_annexb.txt");
  ASSERT_GE(rows.size(), 5u);
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 5u) << row[0];
    std::string written;
    RecorderConfig c = config("-");
    c.waitForKeyframe = row[1].find("no-wait") == std::string::npos;
    c.frameLimit = row[1].find("limit-2") == std::string::npos ? 0 : 2;
    c.standardOutput = [&written](const char* data, size_t size) {
      written.append(data, size);
      return true;
    };
    TempDir dir;
    c.rtpdumpPath = dir.file("copy.rtpdump");
    Recorder recorder(c);
    std::string error;
    ASSERT_TRUE(recorder.open(0x7F000001, 554, error)) << error;
    std::istringstream sessions(row[2]);
    uint64_t packets = 0;
    uint32_t ssrc = 0;
    for (std::string session; std::getline(sessions, session, ';');) {
      ASSERT_TRUE(begin(
          recorder, row[1].find("unannounced") == std::string::npos ? kH264 : description("H264")));
      const std::vector<uint8_t> rtcp = {0x80, 200, 0, 6, 1, 2, 3, 4};  // left out of everything
      EXPECT_EQ(recorder.onPacket(rtcp.data(), rtcp.size()), Progress::kRecording) << row[0];
      Sender sender{recorder, 777777 * ++ssrc, ssrc};
      sender.send(session);
      packets += sender.sequence - 100u;
      recorder.endStream();
    }
    EXPECT_TRUE(recorder.finish()) << row[0];
    EXPECT_EQ(written, annexB(row[3])) << row[0];
    EXPECT_EQ(std::to_string(recorder.stats().frames), row[4]) << row[0];
    // Every RTP packet (14 bytes) is counted and copied behind the rtpdump preamble.
    EXPECT_EQ(recorder.stats().packets, packets) << row[0];
    EXPECT_EQ(recorder.stats().bytes, 14 * packets) << row[0];
    const size_t preamble = sizeof "#!rtpplay1.0 127.0.0.1/554\n" - 1 + 16;
    EXPECT_EQ(readFile(c.rtpdumpPath).size(), preamble + 22 * packets) << row[0];
  }
}

TEST(ToolRecorder, AFailedWriteIsReportedOnceAndEndsTheRecording) {
  RecorderConfig c = config("-");
  c.standardOutput = [](const char*, size_t) { return false; };
  Recorder recorder(c);
  ASSERT_TRUE(begin(recorder, kH264));
  EXPECT_EQ((Sender{recorder, 0}.send("K")), Progress::kFailed);
  std::string reason;
  EXPECT_TRUE(recorder.takeFailure(reason));
  EXPECT_EQ(reason, "writing to standard output failed");
  EXPECT_FALSE(recorder.takeFailure(reason)) << "reported once";
  EXPECT_FALSE(recorder.finish());
}

// The writer holds a fragment in blocks and keeps one between fragments:
// samples across block ends, and a small fragment after large ones, must
// come out whole, each fragment's mdat in one piece. A unit of the entry's
// parameter sets alone is no sample, and a fragment of it alone no fragment.
TEST(ToolMp4Writer, FragmentsHeldInBlocksComeOutWhole) {
  struct Row {
    const char* name;
    std::vector<size_t> nalSizes;  // one sample each; the row is one fragment
  };
  const Row rows[] = {
      {"a sample across three blocks, then one more", {70000, 5000}},
      {"a sample ending at a block's end", {32768 - 4}},
      {"a small fragment after large ones", {10}},
  };
  std::string file, error;
  Mp4Writer writer([&file](const Mp4Writer::Piece* pieces, size_t count) {
    for (size_t i = 0; i < count; ++i) file.append(pieces[i].data, pieces[i].size);
    return true;
  });
  Mp4Track track;
  track.sps = kSets.substr(4, 9);
  track.pps = kSets.substr(17);
  ASSERT_TRUE(writer.begin(track, error)) << error;
  const auto be32 = [](size_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  AccessUnit sets;
  sets.nals = {track.sps, track.pps};
  writer.addSample(sets, 0);
  writer.flush();
  uint64_t time = 0;
  for (size_t r = 0; r < std::size(rows); ++r) {
    std::string samples;
    for (size_t size : rows[r].nalSizes) {
      AccessUnit unit;
      unit.keyframe = true;
      unit.nals = {"\x65" + std::string(size - 1, static_cast<char>(0x80 + r))};
      writer.addSample(unit, time += 3000);
      samples += be32(size) + unit.nals[0];
    }
    writer.flush();
    EXPECT_NE(file.find(be32(samples.size() + 8) + "mdat" + samples), std::string::npos)
        << rows[r].name;
  }
  size_t fragments = 0;
  for (size_t at = 0; (at = file.find("moof", at)) != std::string::npos; ++at) ++fragments;
  EXPECT_EQ(fragments, std::size(rows)) << "the parameter sets alone made a fragment";
}

// Segments start at the first keyframe past their length and are named by
// number, by the time fields of the pattern (a name taken gets a number) or,
// with the camera's clock, by the camera's time with the cuts at its whole
// seconds.
TEST(ToolRecorder, SegmentsStartAtTheFirstKeyframePastTheirLengthAndAreNamed) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  const std::string stem = "cam-" + std::to_string(1900 + localtime_r(&now, &local)->tm_year);
  // 0.1 s is three pictures: K3 starts a segment, K5 comes too early, K8 starts one.
  const std::string shortUnits = "K P P K P K P P K";
  std::string cameraUnits;  // a keyframe every 10 pictures, the camera at x.8 s
  for (int i = 0; i < 50; ++i) cameraUnits += i % 10 == 0 ? "K " : "P ";
  struct Row {
    std::string pattern;
    bool cameraClock;
    std::vector<std::string> names;
    std::vector<size_t> firsts;  // the number of each file's first picture, then the count
  };
  // clang-format off
  const Row rows[] = {
      {"cam.h264", false, {"cam-0001.h264", "cam-0002.h264", "cam-0003.h264"}, {0, 3, 8, 9}},
      {"cam-%Y.h264", false, {stem + ".h264", stem + "-2.h264", stem + "-3.h264"}, {0, 3, 8, 9}},
      {"cam.mp4", false, {"cam-0001.mp4", "cam-0002.mp4", "cam-0003.mp4"}, {}},
      {"cam-%s.h264", true, {"cam-1700000000.h264", "cam-1700000001.h264", "cam-1700000002.h264"}, {0, 10, 40, 50}},
  };
  // clang-format on
  for (const Row& row : rows) {
    TempDir dir;
    const bool mp4 = row.firsts.empty();
    RecorderConfig c =
        config(dir.file(row.pattern), mp4 ? OutputFormat::kMp4 : OutputFormat::kAnnexB);
    c.segmentSeconds = row.cameraClock ? 1 : 0.1;
    c.cameraClock = row.cameraClock;
    Recorder recorder(c);
    if (row.cameraClock) {
      recorder.setWallClock([](int, uint32_t rtp, uint64_t* out) {
        *out = static_cast<uint64_t>((1700000000.8 + 2208988800.0 + rtp / 90000.0) * 4294967296.0);
        return true;
      });
    }
    ASSERT_TRUE(begin(recorder, kH264));
    const std::string& units = row.cameraClock ? cameraUnits : shortUnits;
    Sender{recorder, 0}.send(units);  // the first picture at RTP time 3000
    ASSERT_TRUE(recorder.finish());
    EXPECT_EQ(recorder.stats().files, 3u) << row.pattern;
    for (size_t i = 0; i < 3; ++i) {
      const std::string file = readFile(dir.file(row.names[i]));
      if (mp4) {
        EXPECT_EQ(field(file, "tfdt", 8, 8), 0u) << row.names[i] << ": every file starts at 0";
        EXPECT_EQ(field(file, "mfhd", 8, 4), 1u) << row.names[i] << ": fragments count from 1";
        EXPECT_EQ(field(file, "mvhd", 100, 4), 2u) << row.names[i] << ": next_track_ID";
        continue;
      }
      std::string expected = "=";
      for (size_t n = row.firsts[i]; n < row.firsts[i + 1]; ++n)
        expected += " " + units.substr(2 * n, 1) + std::to_string(n);
      EXPECT_EQ(file, annexB(expected)) << row.names[i];
    }
  }
}

TEST(ToolRecorder, Mp4ContinuesTheTimelineAcrossTheBreak) {
  TempDir dir;
  Recorder recorder(config(dir.file("out.mp4"), OutputFormat::kMp4));
  ASSERT_TRUE(begin(recorder, kH264));
  Sender{recorder, 0xFFFFF000u}.send("K P P");  // wraps after the first picture
  const auto before = std::chrono::steady_clock::now();
  recorder.endStream();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(begin(recorder, kH264));
  const std::chrono::duration<double> pause = std::chrono::steady_clock::now() - before;
  Sender{recorder, 5, 0x0A0B0C0D}.send("K P P");
  ASSERT_TRUE(recorder.finish());
  // The second fragment's baseMediaDecodeTime: three pictures of 3000 ticks,
  // then the pause (300 ms up to `pause`) at 90000 ticks a second.
  const uint64_t time = field(readFile(dir.file("out.mp4")), "tfdt", 8, 8, true);
  EXPECT_GE(time, 9000u + 27000u);
  EXPECT_LE(time, 9000u + static_cast<uint64_t>(pause.count() * 90000) + 1);
  // The same timeline with a gap of exactly 27000 ticks: the picture after
  // the break lands one picture's length plus the gap after the last one.
  Timeline timeline(90000);
  for (const uint32_t timestamp : {0xFFFFF000u, 0xFFFFFBB8u, 0x770u}) timeline.place(timestamp);
  timeline.resume(27000);
  EXPECT_EQ(timeline.place(5), 6000u + 3000u + 27000u);
}

// The cases of data/tool_recorder_refusals.txt.
TEST(ToolRecorder, RefusesWhatItCannotRecordAndReplacesNoFile) {
  const auto rows = rtsptest::dataFields("tool_recorder_refusals.txt");
  ASSERT_GE(rows.size(), 9u);
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 7u) << row[0];
    const std::string &output = row[3], &existing = row[5];
    const bool overwrite = row[6].find("overwrite") != std::string::npos;
    TempDir dir;
    RecorderConfig c = config(output.empty() || output[0] == '/' ? output : dir.file(output));
    c.rtpdumpPath = row[4].empty() ? "" : dir.file(row[4]);
    c.overwrite = overwrite;
    c.segmentSeconds = row[6].find("segment") != std::string::npos ? 1 : 0;
    if (!existing.empty()) std::ofstream(dir.file(existing)) << "kept";
    Recorder recorder(c);
    std::string error;
    bool ok = recorder.open(0, 554, error);
    if (ok && row[6].find("after-h264") != std::string::npos && begin(recorder, kH264))
      recorder.endStream();
    const std::vector<std::string> codec = split(row[1]);
    SDP sdp = row[1] == "-" ? kH264 : description(codec.at(0), codec.size() > 1 ? codec[1] : "");
    ok = ok && recorder.beginStream(sdp, error);
    EXPECT_EQ(ok, row[2].empty()) << row[0];
    EXPECT_NE(error.find(row[2]), std::string::npos) << row[0] << ": " << error;
    if (!existing.empty()) {
      EXPECT_EQ(readFile(dir.file(existing)) == "kept", !overwrite) << row[0];
    }
  }
}

// NTP 32.32 of `seconds` after an arbitrary instant.
uint64_t ntp(double seconds) {
  return static_cast<uint64_t>((3900000000.0 + seconds) * 4294967296.0);
}

// A second of 30 pictures and the audio around it, frame k at k frames less
// 10 ms: the audio the file holds starts at the first picture and ends with
// the last, each frame where the sender reports put it. Audio that cannot be
// recorded, or that the server refused, leaves the video alone, not held for
// it. The cases of data/tool_recorder_audio.txt.
TEST(ToolRecorderAudio, EachCodecGetsItsTrackLinedUpWithTheVideoOrLeavesTheVideoAlone) {
  if (run("command -v ffprobe").first != 0) GTEST_SKIP() << "no ffprobe";
  const auto rows = rtsptest::dataFields("tool_recorder_audio.txt");
  ASSERT_GE(rows.size(), 8u);
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 7u) << row[0];
    const SDPMedia media = audioMedia(row[1]);
    const auto frameTicks = static_cast<uint32_t>(std::stoul(row[2]));
    const std::vector<uint8_t> payload = fromHex(row[3]);
    const std::vector<std::string> placement = split(row[5]);
    const bool reports = placement.at(0) == "reports", refused = placement[0] == "refused";
    TempDir dir;
    RecorderConfig c = config(dir.file("av.mp4"), OutputFormat::kMp4);
    c.recordAudio = true;
    c.syncWaitSeconds = placement[0] == "arrival" ? 0 : 5;
    std::string notices;
    c.notice = [&notices](const std::string& line) { notices += line; };
    const uint32_t rate = static_cast<uint32_t>(media.clockRate > 0 ? media.clockRate : 8000);
    const uint32_t video0 = 4000000000u, audio0 = 123;  // the video's RTP times wrap
    Recorder recorder(c);
    if (reports) {
      recorder.setWallClock([&](int track, uint32_t rtp, uint64_t* out) {
        *out = track == 0 ? ntp(static_cast<uint32_t>(rtp - video0) / 90000.0)
                          : ntp(static_cast<uint32_t>(rtp - audio0) / double(rate) - 0.01);
        return true;
      });
    }
    ASSERT_TRUE(begin(recorder, kH264, {media})) << row[0];
    if (refused) recorder.setTracks(std::vector<RTSPTrack>(1));  // one track, not the audio
    // In the order of their times: 30 pictures, and audio up to 1.2 s (none when refused).
    const double audioSeconds = refused ? 0 : 1.2;
    uint16_t picture = 0, frame = 0;  // and their sequence numbers
    while (picture < 30 || frame * frameTicks < audioSeconds * rate) {
      const double pictureTime = picture / 30.0,
                   frameTime = double(frame) * frameTicks / rate - 0.01;
      if (picture < 30 && (refused || pictureTime <= frameTime)) {
        const uint8_t header = picture == 0 ? 0x65 : 0x41;
        const auto rtp = rtpPacket(picture, video0 + picture * 3000, 1, true, {header, 0x88, 0x80});
        recorder.onTrackPacket(0, rtp.data(), rtp.size(), false);
        ++picture;
      } else {
        const auto rtp =
            rtpPacket(frame, audio0 + frame * frameTicks, 2, true, payload, media.payloadType);
        recorder.onTrackPacket(1, rtp.data(), rtp.size(), false);
        ++frame;
      }
    }
    EXPECT_EQ(recorder.stats().frames, 30u) << row[0] << ": no picture held at the end";
    ASSERT_TRUE(recorder.finish()) << row[0];
    EXPECT_EQ(notices, row[6]) << row[0];
    // (The pictures are made up: what ffprobe and ffmpeg say of them is left out.)
    const std::string file = dir.file("av.mp4"), mp4 = readFile(file);
    // The first fragment's prft: the wall-clock time of the first picture.
    EXPECT_EQ(mp4.find("prft") == std::string::npos ? 0 : field(mp4, "prft", 12, 8),
              reports ? ntp(0) : 0)
        << row[0];
    EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels", "a", true), row[4]) << row[0];
    EXPECT_EQ(probe(file, "stream=codec_name", "v", true), "h264") << row[0];
    if (row[4].empty()) continue;
    EXPECT_EQ(
        run("ffmpeg -v error -vn -i '" + file + "' -f null - 2>&1 | grep -v '^.h264 @'").second, "")
        << row[0] << ": the audio decodes";
    // Each frame's time and duration: arrival places the first one that came
    // after the first picture at most a frame in; reports keep the frames from
    // the first picture up to the end of the last, G.711 cut at both.
    const std::vector<std::string> packets =
        split(probe(file, "packet=pts,duration", "a", true), '\n');
    ASSERT_FALSE(packets.empty()) << row[0];
    const std::vector<std::string> first = split(packets.front(), ','),
                                   last = split(packets.back(), ',');
    if (!reports) {
      EXPECT_LE(std::stoul(first.at(0)), frameTicks) << row[0];
      continue;
    }
    EXPECT_EQ(first.at(0), placement.at(1)) << row[0] << ": the first frame's time";
    const unsigned long duration =
        last.at(1) == "N/A" ? frameTicks : std::stoul(last.at(1));  // Opus has none
    EXPECT_EQ(std::to_string(std::stoul(last.at(0)) + duration), placement.at(2))
        << row[0] << ": the end of the last frame";
  }
}

}  // namespace
