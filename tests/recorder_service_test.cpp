// rtsp-recorder's pure parts: the configuration and what a reload changes
// (files and results in tests/data/recorder_configs.txt),
// retention against a fake clock and a small directory, the repair of a
// segment cut short, and the live view's cutting of an MP4 stream and
// choice of audio.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"
#include "live.h"
#include "mp4_writer.h"
#include "retention.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_recorder;
using std::chrono::hours;
using std::chrono::seconds;

// `bytes` written to `file`, whose name it returns.
std::string writeFile(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
  return file;
}

// The environment of the tests: CAM_PASS alone is set.
const char* env(const char* name) { return std::string(name) == "CAM_PASS" ? "from-env" : nullptr; }

// tests/data/recorder_configs.txt: each file, and what its first camera and
// the service hold or the start of its error; each reload and its plan.
TEST(RecorderConfig, FilesGiveTheirValuesOrSayFileLineAndKey) {
  TempDir dir;
  std::map<std::string, std::string> placeholders = {
      {"$DOOR", "[[camera]]\nname = \"door\"\nurl = \"rtsp://10.0.0.5/live\"\n"},
      {"$PASSFILE", writeFile(dir.file("pass"), "from-file\nsecond line\n")}};
  for (const std::string name : {"a", "b", "c"})
    placeholders["$" + name] =
        "[[camera]]\nname = \"" + name + "\"\nurl = \"rtsp://h/" + name + "\"\n";
  const auto text = [](const auto& value) {
    std::ostringstream out;
    out << value;
    return out.str();
  };
  const char* const transports[] = {"tcp", "udp", "udp-then-tcp"};
  for (const std::vector<std::string>& row : rtsptest::dataFields("recorder_configs.txt", " => ")) {
    std::string file = row.at(0);
    const std::string& expected = row.at(1);
    for (const auto& [name, value] : placeholders)
      for (size_t at; (at = file.find(name)) != std::string::npos;)
        file.replace(at, name.size(), value);
    const std::size_t arrow = std::min(file.find(" -> "), file.size());  // a reload's
    ServiceConfig before, config;
    std::string error;
    parseConfig(file.substr(0, arrow), "cams.toml", env, before, error);
    const bool parsed = parseConfig(arrow < file.size() ? file.substr(arrow + 4) : file,
                                    "cams.toml", env, config, error);
    EXPECT_EQ(parsed, expected.rfind("refused: ", 0) != 0) << expected << error;
    if (!parsed) {
      EXPECT_EQ(error.substr(0, expected.size() + 1), "cams.toml:" + expected.substr(9))
          << expected;
      continue;
    }
    const CameraConfig& c = config.cameras.at(0);
    std::map<std::string, std::string> got = {
        {"password", c.password},
        {"transport", transports[c.transport]},
        {"segment_seconds", text(c.segmentSeconds)},
        {"output_dir", c.outputDir},
        {"max_age", text(c.retention.maxAge.count())},
        {"max_bytes", text(c.retention.maxBytes)},
        {"listen", config.bindAddress + ":" + text(config.port)}};
    const ReloadPlan plan = planReload(before, config);
    for (const auto& [key, names] : {std::pair{"added", plan.added},
                                     {"removed", plan.removed},
                                     {"changed", plan.changed},
                                     {"unchanged", plan.unchanged}})
      for (std::string& list = got[key]; const std::string& name : names)
        list += (list.empty() ? "" : ",") + name;
    std::istringstream fields(expected);
    for (std::string field; fields >> field;) {
      const std::string key = field.substr(0, field.find('='));
      EXPECT_EQ(key + "=" + got.at(key), field) << file;
    }
  }
}

// Retention with a fake clock against five files of cameras "a" and "b" (the
// newest of each being written); the deletions are compared by name, oldest first.
TEST(RecorderRetention, OldestFirstNeverTheActiveFile) {
  const auto now = std::chrono::system_clock::time_point(hours(1000));
  using Limits = RetentionLimits;
  // clang-format off
  const std::vector<SegmentFile> files = {{"a", "a1", 100, now - hours(50), false}, {"a", "a2", 100, now - hours(30), false},
      {"a", "a3", 100, now - hours(1), true}, {"b", "b1", 100, now - hours(40), false}, {"b", "b2", 100, now - hours(2), true}};
  struct Row { const char* name; Limits perCamera /* of "a" */, store; std::vector<std::string> deleted; };
  const Row rows[] = {
      {.name = "no limits", .perCamera = {}, .store = {}, .deleted = {}},
      {.name = "camera age", .perCamera = {.maxAge = hours(35)}, .store = {}, .deleted = {"a1"}},
      {.name = "camera bytes", .perCamera = {.maxBytes = 150}, .store = {}, .deleted = {"a1", "a2"}},
      {.name = "store bytes take the oldest of any camera", .perCamera = {}, .store = {.maxBytes = 300}, .deleted = {"a1", "b1"}},
      {.name = "store age", .perCamera = {}, .store = {.maxAge = hours(35)}, .deleted = {"a1", "b1"}},
      {.name = "a limit below the active files leaves them alone", .perCamera = {}, .store = {.maxBytes = 1}, .deleted = {"a1", "b1", "a2"}},
      {.name = "camera then store: the camera's deletions count for the store", .perCamera = {.maxBytes = 200}, .store = {.maxBytes = 400}, .deleted = {"a1"}},
      {.name = "exactly at the limits stays", .perCamera = {.maxAge = hours(50), .maxBytes = 300}, .store = {}, .deleted = {}},
  };
  // clang-format on
  for (const Row& row : rows) {
    std::vector<std::string> deleted;
    for (const SegmentFile& f : chooseDeletions(files, {{"a", row.perCamera}}, row.store, now))
      deleted.push_back(f.path);
    EXPECT_EQ(deleted, row.deleted) << row.name;
  }
}

TEST(RecorderRetention, ScanListsMp4FilesOldestFirst) {
  TempDir dir;
  const std::string cam = dir.file("cam");
  std::filesystem::create_directories(cam + "/sub.mp4");  // not a file: left out
  const std::string older = writeFile(cam + "/b.mp4", "12345"),
                    newer = writeFile(cam + "/a.mp4", "123");
  writeFile(cam + "/notes.txt", "x");
  const timespec times[2] = {{1000, 0}, {1000, 0}};
  ::utimensat(AT_FDCWD, older.c_str(), times, 0);
  const std::vector<SegmentFile> found = scanSegments("cam", cam);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, older);
  EXPECT_EQ(found[0].bytes, 5u);
  EXPECT_EQ(found[1].path, newer);
  EXPECT_EQ(found[1].camera, "cam");
  EXPECT_TRUE(scanSegments("cam", cam + "/missing").empty());
}

std::string box(const char* type, const std::string& body) {
  const auto size = static_cast<uint32_t>(8 + body.size());
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>(size >> (24 - 8 * i));
  return out + type + body;
}

TEST(RecorderRetention, TrimCutsBackToTheLastWholeFragment) {
  const std::string head = box("ftyp", "isom") + box("moov", std::string(20, 'm'));
  const std::string fragment =
      box("moof", std::string(16, 'f')) + box("mdat", std::string(40, 'd'));
  const std::string whole = head + fragment;
  // clang-format off
  struct Row { const char* name; std::string bytes; long long removed; size_t sizeAfter; bool fragments /* one remains */; };
  const Row rows[] = {
      {.name = "whole", .bytes = whole, .removed = 0, .sizeAfter = whole.size(), .fragments = true},
      {.name = "the header alone", .bytes = head + fragment.substr(0, 20), .removed = 20, .sizeAfter = head.size(), .fragments = false},
      {.name = "mdat cut short", .bytes = whole + fragment.substr(0, 30), .removed = 30, .sizeAfter = whole.size(), .fragments = true},
      {.name = "moof without its mdat", .bytes = whole + box("moof", "xxxx"), .removed = 12, .sizeAfter = whole.size(), .fragments = true},
      {.name = "a box header cut short", .bytes = whole + std::string(2, '\0'), .removed = 2, .sizeAfter = whole.size(), .fragments = true},
  };
  // clang-format on
  for (const Row& row : rows) {
    TempDir dir;
    const std::string file = writeFile(dir.file("seg.mp4"), row.bytes);
    bool fragments = !row.fragments;
    EXPECT_EQ(trimToWholeFragments(file, &fragments), row.removed) << row.name;
    EXPECT_EQ(fragments, row.fragments) << row.name;
    EXPECT_EQ(std::filesystem::file_size(file), row.sizeAfter) << row.name;
  }
  EXPECT_EQ(trimToWholeFragments("/nonexistent/seg.mp4"), -1);
}

// The live view's cut of a real writer's output, fed in pieces of every
// size: one header, then one fragment per sample, keyframes where they were.
TEST(RecorderLive, SplitterCutsHeaderAndFragmentsAtAnyPieceSize) {
  std::string stream;
  rtsp_pull::Mp4Writer writer(
      [&stream](const rtsp_pull::Mp4Writer::Piece* pieces, size_t count) {
        for (size_t i = 0; i < count; ++i) stream.append(pieces[i].data, pieces[i].size);
        return true;
      },
      0.001);
  rtsp_pull::Mp4Track track;  // a 64x64 H.264 SPS (Baseline) and a PPS
  track.sps = std::string(
      "\x67\x42\xc0\x0a\xd9\x07\x3c\x04\x40\x00\x00\x03\x00\x40\x00\x00\x0c\x83\xc4\x89\x65\x80",
      22);
  track.pps = std::string("\x68\xcb\x83\xcb\x20", 5);
  std::string error;
  ASSERT_TRUE(writer.begin(track, error)) << error;
  const bool keyframes[] = {true, false, false, true, false};
  for (size_t i = 0; i < 5; ++i) {
    rtsp_pull::AccessUnit unit;
    unit.keyframe = keyframes[i];
    unit.nals.push_back(std::string(keyframes[i] ? "\x65" : "\x41", 1) + std::string(50, 'x'));
    writer.addSample(unit, 3000 * i);
  }
  writer.flush();
  for (size_t piece : {size_t{1}, size_t{7}, size_t{100}, stream.size()}) {
    Mp4Splitter splitter;
    std::vector<Mp4Splitter::Part> parts;
    for (size_t at = 0; at < stream.size(); at += piece)
      for (auto& p : splitter.feed(stream.data() + at, std::min(piece, stream.size() - at)))
        parts.push_back(std::move(p));
    ASSERT_EQ(parts.size(), 6u) << "pieces of " << piece;
    EXPECT_TRUE(parts[0].header) << "pieces of " << piece;
    std::string joined;
    for (const auto& p : parts) joined += p.bytes;
    EXPECT_EQ(joined, stream) << "pieces of " << piece;
    for (size_t i = 0; i < 5; ++i)
      EXPECT_EQ(parts[i + 1].keyframe, keyframes[i]) << "sample " << i << ", pieces of " << piece;
  }
}

TEST(RecorderLive, AudioThatBrowsersPlayGoesLive) {
  // clang-format off
  struct Row { const char* name; bool audio; std::string rtpmap; size_t audioSections; };
  const Row rows[] = {
      {.name = "aac", .audio = true, .rtpmap = "97 MPEG4-GENERIC/48000\r\na=fmtp:97 streamtype=5;mode=AAC-hbr;config=1188;sizelength=13;indexlength=3;indexdeltalength=3", .audioSections = 1},
      {.name = "opus", .audio = true, .rtpmap = "97 opus/48000/2", .audioSections = 1},
      {.name = "pcmu", .audio = true, .rtpmap = "0 PCMU/8000", .audioSections = 0},
      {.name = "pcma", .audio = true, .rtpmap = "8 PCMA/8000", .audioSections = 0},
      {.name = "opus, audio off", .audio = false, .rtpmap = "97 opus/48000/2", .audioSections = 0},
  };
  // clang-format on
  for (const Row& row : rows) {
    SDP sdp;
    const std::string type = row.rtpmap.substr(0, row.rtpmap.find(' '));
    for (const std::string& line : {std::string("v=0"), std::string("m=video 0 RTP/AVP 96"),
                                    std::string("a=rtpmap:96 H264/90000"),
                                    "m=audio 0 RTP/AVP " + type, "a=rtpmap:" + row.rtpmap})
      sdp.lines.push_back(line + "\r\n");
    size_t audio = 0;
    for (const SDPMedia& m : liveMedia(sdp, row.audio)) audio += m.media == "audio";
    EXPECT_EQ(audio, row.audioSections) << row.name;
  }
}

TEST(RecorderLive, ViewerQueueEndsOnceClosed) {
  auto viewer = std::make_shared<Viewer>();
  EXPECT_TRUE(viewer->push(3, std::make_shared<const std::string>("abc")));
  std::vector<Viewer::Chunk> chunks;
  ASSERT_TRUE(viewer->take(chunks, std::chrono::milliseconds(0)));
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].feed, 3u);
  viewer->close();
  EXPECT_FALSE(viewer->push(3, std::make_shared<const std::string>("abc")));
  EXPECT_FALSE(viewer->take(chunks, std::chrono::milliseconds(0)));
}

}  // namespace
