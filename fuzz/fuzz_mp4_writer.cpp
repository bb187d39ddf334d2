// Fuzz target: the rtsp-pull tool's MP4 writer (fuzz_mp4_writer), fed access
// units as the recorder hands them over. Input, repeated: a flags byte, a
// big-endian 2-byte decode-time step and a 2-byte picture size (mod 4096).
// Flags: 1 keyframe, 2 the sample entry's SPS and PPS in front, 4 a changed
// SPS in front, 8 no picture at all, 16 a flush after it.
// Checks what a reader relies on: top-level boxes tile the file exactly;
// ftyp and moov come first; every fragment's sequence number is the next
// one, its trun data offset points just past its mdat header, its sample
// sizes add up to its mdat and none is 0, each sample is whole length-
// prefixed NAL units, and decode times (tfdt and durations) grow strictly;
// the samples written are the units that hold more than the entry's sets.
#include <cstdint>
#include <string>
#include <utility>

#include "check.h"
#include "mp4_writer.h"

namespace {

using rtsp_pull::AccessUnit;

const std::string kSps("\x67\x42\x00\x1E\x95\xA8\x28\x0F\x64", 9), kPps("\x68\xCE\x3C\x80", 4);

uint64_t be(const std::string& s, size_t at, size_t bytes) {
  check(at + bytes <= s.size());
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The box of `type` directly inside [from, to): its start, or `to`.
size_t child(const std::string& s, size_t from, size_t to, const char* type) {
  while (from + 8 <= to) {
    const size_t size = be(s, from, 4);
    check(size >= 8 && from + size <= to);
    if (s.compare(from + 4, 4, type) == 0) return from;
    from += size;
  }
  return to;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string file;
  rtsp_pull::Mp4Writer writer([&](const rtsp_pull::Mp4Writer::Piece* pieces, size_t count) {
    for (size_t i = 0; i < count; ++i) file.append(pieces[i].data, pieces[i].size);
    return true;
  });
  rtsp_pull::Mp4Track track;
  track.sps = kSps;
  track.pps = kPps;
  std::string error;
  check(writer.begin(track, error));
  uint64_t decodeTime = 0, expectedSamples = 0;
  for (size_t pos = 0; pos + 5 <= size; pos += 5) {
    const uint8_t flags = data[pos];
    decodeTime += be16(data + pos + 1);
    AccessUnit unit;
    unit.keyframe = (flags & 1) != 0;
    if ((flags & 2) != 0) unit.nals = {kSps, kPps};
    if ((flags & 4) != 0) unit.nals.push_back(kSps + std::string(1, static_cast<char>(pos)));
    if ((flags & 8) == 0)
      unit.nals.push_back(std::string(1, unit.keyframe ? '\x65' : '\x41') +
                          std::string(be16(data + pos + 3) % 4096, '\x5A'));
    if ((flags & 8) == 0 || (flags & 4) != 0) ++expectedSamples;
    writer.addSample(unit, decodeTime);
    if ((flags & 16) != 0) writer.flush();
  }
  check(writer.flush() && !writer.failed());

  check(file.compare(4, 4, "ftyp") == 0);
  check(file.compare(be(file, 0, 4) + 4, 4, "moov") == 0);
  uint64_t samples = 0, lastTime = 0;
  uint32_t sequence = 0;
  for (size_t at = 0; at < file.size();) {
    const size_t boxSize = be(file, at, 4);
    check(boxSize >= 8 && at + boxSize <= file.size());
    if (file.compare(at + 4, 4, "moof") == 0) {
      const size_t end = at + boxSize;
      check(be(file, child(file, at + 8, end, "mfhd") + 12, 4) == ++sequence);
      const size_t traf = child(file, at + 8, end, "traf"), trafEnd = traf + be(file, traf, 4);
      const size_t tfdt = child(file, traf + 8, trafEnd, "tfdt");
      const size_t trun = child(file, traf + 8, trafEnd, "trun");
      check(traf < end && tfdt < trafEnd && trun < trafEnd);
      uint64_t time = be(file, tfdt + 12, 8);
      check(time > lastTime || samples == 0);
      const size_t count = be(file, trun + 12, 4);
      check(be(file, trun, 4) == 20 + 12 * count);
      check(file.compare(end + 4, 4, "mdat") == 0 && be(file, trun + 16, 4) == boxSize + 8);
      size_t sample = end + 8;
      for (size_t i = 0; i < count; ++i) {
        const uint64_t duration = be(file, trun + 20 + 12 * i, 4);
        check(duration > 0 || i + 1 == count);
        lastTime = std::exchange(time, time + duration);
        const size_t sampleSize = be(file, trun + 24 + 12 * i, 4);
        check(sampleSize > 0);
        size_t nal = sample;
        while (nal < sample + sampleSize) nal += 4 + be(file, nal, 4);
        check(nal == sample + sampleSize);
        sample += sampleSize;
      }
      check(sample == end + be(file, end, 4));
      samples += count;
    }
    at += boxSize;
  }
  check(samples == expectedSamples);
  return 0;
}
