// The rtsp-pull tool's fragmented MP4 writer, checked with ffprobe and
// ffmpeg on real H.264 and H.265 frames that ffmpeg encodes for the test.
// Skipped when ffmpeg, ffprobe or an encoder is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "mp4_writer.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;

struct Command {
  int status = -1;
  std::string output;  // standard output; standard error joins it with "2>&1"
};

Command run(const std::string& command) {
  Command result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The access units of an Annex B stream with one slice per picture: each
// picture with the units in front of it.
std::vector<AccessUnit> accessUnits(VideoCodec codec, const std::string& stream) {
  const std::string startCode("\0\0\1", 3);
  std::vector<AccessUnit> units(1);
  for (size_t pos = stream.find(startCode), start; pos != std::string::npos;) {
    start = pos + 3;
    pos = stream.find(startCode, start);
    size_t end = pos == std::string::npos ? stream.size() : pos;
    while (end > start && stream[end - 1] == '\0') --end;  // a 4-byte start code's zero
    units.back().nals.push_back(stream.substr(start, end - start));
    const uint8_t type = nalType(codec, reinterpret_cast<const uint8_t*>(&stream[start]));
    if (isPicture(codec, type)) {
      units.back().keyframe = isKeyframe(codec, type);
      units.emplace_back();
    }
  }
  units.pop_back();
  return units;
}

struct Encoded {
  std::vector<AccessUnit> units;
  Mp4Track track;
};

// 18 frames of 170x98 (cropped from whole blocks) at 30 frames a second with a keyframe every 6,
// no B-frames; false when ffmpeg cannot make them.
bool encode(VideoCodec codec, const TempDir& dir, Encoded& encoded) {
  const std::string path = dir.file(codec == VideoCodec::kH264 ? "in.h264" : "in.h265");
  const std::string encoder = codec == VideoCodec::kH264
                                  ? "-c:v libx264 -g 6 -bf 0 -f h264"
                                  : "-c:v libx265 -x265-params keyint=6:min-keyint=6:bframes=0:"
                                    "scenecut=0:log-level=none -f hevc";
  if (run("ffmpeg -v error -y -f lavfi -i testsrc=size=170x98:rate=30 -frames:v 18 -pix_fmt "
          "yuv420p " +
          encoder + " '" + path + "' 2>&1")
          .status != 0)
    return false;
  encoded.units = accessUnits(codec, readFile(path));
  encoded.track.codec = codec;
  std::string* sets[3] = {&encoded.track.vps, &encoded.track.sps, &encoded.track.pps};
  for (const std::string& nal : encoded.units.front().nals) {
    const int kind =
        parameterSetKind(codec, nalType(codec, reinterpret_cast<const uint8_t*>(nal.data())));
    if (kind >= 0) *sets[kind] = nal;
  }
  return encoded.units.size() == 18;
}

// What one sample holds: the units of its access unit with 4-byte lengths,
// the parameter sets of the sample entry left out.
size_t sampleSize(const AccessUnit& unit, const Mp4Track& track) {
  size_t size = 0;
  for (const std::string& nal : unit.nals) {
    if (nal != track.vps && nal != track.sps && nal != track.pps) size += 4 + nal.size();
  }
  return size;
}

struct Written {
  std::string file;
  std::vector<size_t> writes;        // the size of each output call
  std::vector<std::string> packets;  // "pts,size,flag" as ffprobe should list them
};

// Writes the units with RTP timestamps that wrap past 2^32 after the third
// frame and with one frame that comes 1.5 intervals after the one before.
Written writeMp4(const Encoded& encoded, const std::string& path) {
  Written written{path, {}, {}};
  std::string bytes;
  Mp4Writer writer(
      [&](const Mp4Writer::Piece* pieces, size_t count) {
        written.writes.push_back(0);
        for (size_t i = 0; i < count; ++i) {
          bytes.append(pieces[i].data, pieces[i].size);
          written.writes.back() += pieces[i].size;
        }
        return true;
      },
      0.1);
  std::string error;
  EXPECT_TRUE(writer.begin(encoded.track, error)) << error;
  uint32_t timestamp = 0xFFFFFFFFu - 3 * 3000 + 1;
  uint64_t decodeTime = 0;
  for (size_t i = 0; i < encoded.units.size(); ++i) {
    const uint32_t interval = i == 0 ? 0 : i == 9 ? 4500 : 3000;
    timestamp += interval;
    decodeTime += interval;
    AccessUnit unit = encoded.units[i];
    unit.timestamp = timestamp;
    writer.addSample(unit, decodeTime);
    written.packets.push_back(std::to_string(decodeTime) + "," +
                              std::to_string(sampleSize(unit, encoded.track)) + "," +
                              (unit.keyframe ? "K" : "_"));
  }
  EXPECT_TRUE(writer.flush());
  std::ofstream(path, std::ios::binary) << bytes;
  return written;
}

// ffprobe's packets: "pts,size,flag" with the flag's first letter only.
std::vector<std::string> probePackets(const std::string& path) {
  const Command probe =
      run("ffprobe -v error -select_streams v:0 -show_entries packet=pts,size,flags"
          " -of csv=p=0 '" +
          path + "'");
  std::vector<std::string> packets;
  std::istringstream lines(probe.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) packets.push_back(line.substr(0, line.rfind(',') + 2));
  }
  return packets;
}

class Mp4WriterTest : public ::testing::TestWithParam<VideoCodec> {
 protected:
  void SetUp() override {
    if (run("command -v ffprobe && command -v ffmpeg").status != 0)
      GTEST_SKIP() << "ffmpeg is not installed";
    if (!encode(GetParam(), dir_, encoded_)) GTEST_SKIP() << "ffmpeg cannot encode this codec";
  }
  TempDir dir_;
  Encoded encoded_;
};

TEST_P(Mp4WriterTest, ReadsThePictureSizeFromTheSps) {
  SpsInfo info;
  ASSERT_TRUE(parseSps(GetParam(), encoded_.track.sps, info));
  EXPECT_EQ(info.width, 170u);
  EXPECT_EQ(info.height, 98u);
}

TEST_P(Mp4WriterTest, FfprobeSeesEverySampleAndACutFilePlaysUpToTheLastWholeFragment) {
  const Written written = writeMp4(encoded_, dir_.file("out.mp4"));
  EXPECT_EQ(probePackets(written.file), written.packets);
  const Command decode = run("ffmpeg -v error -i '" + written.file + "' -f null - 2>&1");
  EXPECT_EQ(decode.status, 0);
  EXPECT_EQ(decode.output, "");
  // Writes: the header, then one per fragment of 6 frames; cut inside the last.
  ASSERT_EQ(written.writes.size(), 4u);
  const size_t cut =
      written.writes[0] + written.writes[1] + written.writes[2] + written.writes[3] / 2;
  const std::string path = dir_.file("cut.mp4");
  std::ofstream(path, std::ios::binary) << readFile(written.file).substr(0, cut);
  // ffprobe may list what it finds of the cut fragment after the whole ones.
  std::vector<std::string> packets = probePackets(path);
  ASSERT_GE(packets.size(), 12u);
  packets.resize(12);
  EXPECT_EQ(packets,
            std::vector<std::string>(written.packets.begin(), written.packets.begin() + 12));
  const Command frames = run(
      "ffprobe -v quiet -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of "
      "csv=p=0 '" +
      path + "'");
  EXPECT_GE(std::atoi(frames.output.c_str()), 12) << frames.output;
}

INSTANTIATE_TEST_SUITE_P(Codecs, Mp4WriterTest,
                         ::testing::Values(VideoCodec::kH264, VideoCodec::kH265),
                         [](const ::testing::TestParamInfo<VideoCodec>& param) {
                           return std::string(param.param == VideoCodec::kH264 ? "H264" : "H265");
                         });

}  // namespace
