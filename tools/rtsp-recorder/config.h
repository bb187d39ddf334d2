// The service's configuration: one TOML file with the HTTP server, the store
// and the cameras, and what a reload changes. Pure apart from reading the
// file and the password files it names.
#ifndef RTSP_RECORDER_CONFIG_H_
#define RTSP_RECORDER_CONFIG_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <rtsppull/session_options.h>

namespace rtsp_recorder {

// What to keep; 0 for either means no limit of that kind.
struct RetentionLimits {
  std::chrono::seconds maxAge{0};
  uint64_t maxBytes = 0;
  bool operator==(const RetentionLimits& o) const {
    return maxAge == o.maxAge && maxBytes == o.maxBytes;
  }
};

struct CameraConfig {
  std::string name;  // letters, digits, '-' and '_': it names a directory and a URL path
  std::string url;
  std::string user;      // "": from the URL, if it has one
  std::string password;  // resolved: inline, from password_file or from password_env
  RTSP_TRANSPORT transport = RTSP_TRANSPORT_TCP;
  bool audio = false;
  double segmentSeconds = 60;
  std::string outputDir;    // default: the store's root / name
  std::string filePattern;  // strftime fields, local time; default "%Y-%m-%d_%H-%M-%S.mp4"
  RetentionLimits retention;
  bool operator==(const CameraConfig& o) const;
  bool operator!=(const CameraConfig& o) const { return !(*this == o); }
};

struct ServiceConfig {
  std::string path;  // the file it was read from
  std::string bindAddress = "127.0.0.1";
  uint16_t port = 8554;
  std::string httpUser;  // "": no authentication
  std::string httpPassword;
  std::string storeRoot = "recordings";
  RetentionLimits storeRetention;
  // Writing stops while the store's file system has less free space than
  // this, and starts again once it has twice as much.
  uint64_t minFreeBytes = 64ull << 20;
  std::vector<CameraConfig> cameras;
};

// Looks up an environment variable: nullptr when unset (std::getenv in the
// service, a table in tests).
using Environment = std::function<const char*(const char*)>;

// Parses `text` as read from `path`. False with `error` as
// "PATH:LINE: KEY: what is wrong" when anything is off: TOML syntax, an
// unknown key, a value of the wrong type or range, a camera without a name
// or URL, two cameras of one name, a password file that cannot be read or an
// environment variable that is not set.
bool parseConfig(const std::string& text, const std::string& path, const Environment& environment,
                 ServiceConfig& config, std::string& error);
bool loadConfig(const std::string& path, const Environment& environment, ServiceConfig& config,
                std::string& error);

// What a reload does to the running cameras, by name, in the order of the
// files. Cameras whose configuration is equal are left alone.
struct ReloadPlan {
  std::vector<std::string> added, removed, changed, unchanged;
};
ReloadPlan planReload(const ServiceConfig& before, const ServiceConfig& after);

// "90", "90s", "15m", "12h", "7d" as seconds; false when it is none of those.
bool parseDuration(const std::string& text, std::chrono::seconds& value);
// "1000", "500K", "20M", "2G", "1T" (powers of 1024) as bytes.
bool parseByteSize(const std::string& text, uint64_t& value);

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_CONFIG_H_
