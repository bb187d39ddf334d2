#include "audio_format.h"

#include <cctype>
#include <cstdlib>
#include <vector>

namespace rtsp_pull {

namespace {

// Reads big-endian bit fields; reads past the end give zeros and set `over`.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size, size_t offset = 0)
      : data_(data), size_(size), pos_(offset) {}
  uint32_t read(unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i, ++pos_) {
      const size_t byte = pos_ / 8;
      if (byte >= size_) {
        over_ = true;
        value <<= 1;
        continue;
      }
      value = (value << 1) | ((data_[byte] >> (7 - pos_ % 8)) & 1u);
    }
    return value;
  }
  size_t position() const { return pos_; }
  bool over() const { return over_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_;
  bool over_ = false;
};

const uint32_t kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};

uint32_t readRate(BitReader& bits) {
  const uint32_t index = bits.read(4);
  if (index == 15) return bits.read(24);
  return index < 13 ? kSampleRates[index] : 0;
}

uint32_t readObjectType(BitReader& bits) {
  const uint32_t type = bits.read(5);
  return type == 31 ? 32 + bits.read(6) : type;
}

bool equalNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return i == a.size() && b[i] == '\0';
}

bool hexBytes(const std::string& hex, std::vector<uint8_t>& bytes) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
      return false;
    bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

// A small unsigned fmtp number; `fallback` when absent, -1 when not a number.
long fmtpNumber(const SDPMedia& media, const char* name, long fallback) {
  const std::string text = fmtpParameter(media, name);
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && value >= 0 && value <= 1000000 ? value : -1;
}

// The bits [from, from + count) of `data` as whole bytes, zeros after them.
std::string copyBits(const uint8_t* data, size_t size, size_t from, size_t count) {
  std::string out((count + 7) / 8, '\0');
  BitReader bits(data, size, from);
  for (size_t i = 0; i < count; ++i) {
    if (bits.read(1) != 0) out[i / 8] = static_cast<char>(out[i / 8] | (0x80 >> (i % 8)));
  }
  return out;
}

AudioError fail(AudioError error, std::string& detail, const std::string& text) {
  detail = text;
  return error;
}

AudioError readAac(const SDPMedia& media, AudioFormat& format, std::string& detail) {
  const std::string mode = fmtpParameter(media, "mode");
  std::vector<uint8_t> config;
  if (!hexBytes(fmtpParameter(media, "config"), config))
    return fail(AudioError::kMissingConfig, detail, "the AAC audio has no usable config");
  AacConfig aac;
  if (!parseAudioSpecificConfig(config.data(), config.size(), 0, aac))
    return fail(AudioError::kBadConfig, detail, "the AAC config cannot be read");
  const long sizeLength = fmtpNumber(media, "sizelength", 0);
  const long indexLength = fmtpNumber(media, "indexlength", 0);
  const long deltaLength = fmtpNumber(media, "indexdeltalength", 0);
  const long constantDuration = fmtpNumber(media, "constantduration", 0);
  const long interleaving = fmtpNumber(media, "maxdisplacement", 0);
  if (sizeLength <= 0 || sizeLength > 16 || indexLength < 0 || indexLength > 8 || deltaLength < 0 ||
      deltaLength > 8 || constantDuration < 0)
    return fail(AudioError::kBadConfig, detail, "the AAC AU header sizes cannot be used");
  // Fields other than the size and the index, and interleaving, are not taken.
  for (const char* name : {"ctsdeltalength", "dtsdeltalength", "randomaccessindication",
                           "streamstateindication", "auxiliarydatasizelength"}) {
    if (fmtpNumber(media, name, 0) != 0)
      return fail(AudioError::kUnsupportedMode, detail,
                  std::string("AAC with ") + name + " is not recorded");
  }
  if (interleaving != 0)
    return fail(AudioError::kUnsupportedMode, detail, "interleaved AAC is not recorded");
  (void)mode;  // AAC-hbr and AAC-lbr differ only in the sizes above
  format.codec = AudioCodec::kAac;
  format.config.assign(config.begin(), config.end());
  format.sampleRate = aac.sampleRate;
  format.channels = aac.channels;
  format.sizeLength = static_cast<uint32_t>(sizeLength);
  format.indexLength = static_cast<uint32_t>(indexLength);
  format.indexDeltaLength = static_cast<uint32_t>(deltaLength);
  format.frameTicks =
      constantDuration > 0
          ? static_cast<uint32_t>(constantDuration)
          : static_cast<uint32_t>(uint64_t{aac.frameSamples} * format.clockRate / aac.sampleRate);
  return AudioError::kNone;
}

// RFC 6416: the StreamMuxConfig of the "config" parameter, with the payload
// lengths in front of each frame (cpresent=0, frameLengthType 0).
AudioError readLatm(const SDPMedia& media, AudioFormat& format, std::string& detail) {
  const std::string cpresent = fmtpParameter(media, "cpresent");
  if (!cpresent.empty() && cpresent != "0")
    return fail(AudioError::kUnsupportedMode, detail,
                "MP4A-LATM with the configuration in the stream (cpresent=1) is not recorded");
  std::vector<uint8_t> config;
  if (!hexBytes(fmtpParameter(media, "config"), config))
    return fail(AudioError::kMissingConfig, detail, "the MP4A-LATM audio has no usable config");
  BitReader bits(config.data(), config.size());
  const uint32_t version = bits.read(1);
  const uint32_t sameTimeFraming = bits.read(1);
  const uint32_t subframes = bits.read(6) + 1;
  const uint32_t programs = bits.read(4) + 1;
  const uint32_t layers = bits.read(3) + 1;
  if (version != 0 || sameTimeFraming != 1 || programs != 1 || layers != 1)
    return fail(AudioError::kUnsupportedMode, detail,
                "MP4A-LATM with several programs or layers is not recorded");
  AacConfig aac;
  const size_t start = bits.position();
  if (!parseAudioSpecificConfig(config.data(), config.size(), start, aac))
    return fail(AudioError::kBadConfig, detail, "the MP4A-LATM config cannot be read");
  // Senders often cut the config short after the AudioSpecificConfig; what
  // is missing reads as zeros, which are the values taken here.
  BitReader after(config.data(), config.size(), start + aac.bits);
  const uint32_t frameLengthType = after.read(3);
  after.read(8);  // latmBufferFullness
  const uint32_t otherData = after.read(1);
  if (frameLengthType != 0 || otherData != 0)
    return fail(AudioError::kUnsupportedMode, detail,
                "MP4A-LATM with fixed frame lengths or other data is not recorded");
  format.codec = AudioCodec::kLatm;
  format.config = copyBits(config.data(), config.size(), start, aac.bits);
  format.sampleRate = aac.sampleRate;
  format.channels = aac.channels;
  format.subframes = subframes;
  format.frameTicks =
      static_cast<uint32_t>(uint64_t{aac.frameSamples} * format.clockRate / aac.sampleRate);
  return AudioError::kNone;
}

}  // namespace

std::string fmtpParameter(const SDPMedia& media, const char* name) {
  for (const auto& parameter : media.fmtp) {
    if (equalNoCase(parameter.first, name)) return parameter.second;
  }
  return std::string();
}

bool parseAudioSpecificConfig(const uint8_t* data, size_t size, size_t bitOffset,
                              AacConfig& config) {
  BitReader bits(data, size, bitOffset);
  uint32_t type = readObjectType(bits);
  config.sampleRate = readRate(bits);
  config.channels = bits.read(4);
  if (type == 5 || type == 29) {  // SBR or PS: the extension rate, then the core's type
    readRate(bits);
    type = readObjectType(bits);
  }
  config.objectType = type;
  // The GASpecificConfig of the AAC object types (14496-3 4.4.1).
  const bool aacFamily = type == 1 || type == 2 || type == 3 || type == 4 || type == 6 ||
                         type == 7 || type == 17 || (type >= 19 && type <= 23);
  if (!aacFamily || config.channels == 0 || config.sampleRate == 0) return false;
  config.frameSamples = bits.read(1) != 0 ? 960 : 1024;
  if (bits.read(1) != 0) bits.read(14);  // dependsOnCoreCoder: coreCoderDelay
  const uint32_t extension = bits.read(1);
  if (type == 6 || type == 20) bits.read(3);  // layerNr
  if (extension != 0) {
    if (type == 22) bits.read(16);  // numOfSubFrame, layer_length
    if (type == 17 || type == 19 || type == 20 || type == 23) bits.read(3);  // resilience flags
    bits.read(1);                                                            // extensionFlag3
  }
  if (type == 17 || (type >= 19 && type <= 23)) {
    const uint32_t epConfig = bits.read(2);
    if (epConfig >= 2) return false;
  }
  if (config.channels > 7 || bits.over()) return false;
  if (config.channels == 7) config.channels = 8;  // configuration 7 is 7.1
  config.bits = bits.position() - bitOffset;
  return true;
}

AudioError readAudioFormat(const SDPMedia& media, AudioFormat& format, std::string& detail) {
  format = AudioFormat();
  format.encodingName = media.encodingName;
  format.clockRate = media.clockRate > 0 ? static_cast<uint32_t>(media.clockRate) : 0;
  format.channels = media.channels > 0 ? static_cast<uint32_t>(media.channels) : 1;
  const std::string& name = media.encodingName;
  // The static payload types of RFC 3551 need no rtpmap.
  const bool pcmu = equalNoCase(name, "PCMU") || (name.empty() && media.payloadType == 0);
  const bool pcma = equalNoCase(name, "PCMA") || (name.empty() && media.payloadType == 8);
  if (pcmu || pcma) {
    format.codec = pcmu ? AudioCodec::kPcmu : AudioCodec::kPcma;
    if (format.encodingName.empty()) format.encodingName = pcmu ? "PCMU" : "PCMA";
    if (format.clockRate == 0) format.clockRate = 8000;
    format.sampleRate = format.clockRate;
    return AudioError::kNone;
  }
  if (format.clockRate == 0)
    return fail(AudioError::kBadConfig, detail, name + " audio without a clock rate");
  if (equalNoCase(name, "mpeg4-generic")) return readAac(media, format, detail);
  if (equalNoCase(name, "MP4A-LATM")) return readLatm(media, format, detail);
  if (equalNoCase(name, "opus")) {
    // RFC 7587: the clock is always 48 kHz and the rtpmap always says two
    // channels; sprop-stereo tells what the sender actually sends.
    format.codec = AudioCodec::kOpus;
    format.clockRate = 48000;
    format.sampleRate = 48000;
    format.channels = fmtpParameter(media, "sprop-stereo") == "1" ? 2 : 1;
    return AudioError::kNone;
  }
  return fail(AudioError::kUnsupportedCodec, detail,
              (name.empty() ? "payload type " + std::to_string(media.payloadType) : name) +
                  " audio is not recorded");
}

}  // namespace rtsp_pull
