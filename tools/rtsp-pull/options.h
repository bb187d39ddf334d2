// The command line of rtsp-pull: the options, their parsing, the usage text,
// and how the options, the URL and the environment become the session's
// RTSPSessionOptions. Pure: no sockets, no threads; only readPasswordFile
// touches the file system.
#ifndef RTSP_PULL_OPTIONS_H_
#define RTSP_PULL_OPTIONS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <rtsppull/session_options.h>

#include "url.h"

namespace rtsp_pull {

// Exit statuses of the tool; --help lists them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitEnded = 3;

// The full --help text.
extern const char kUsage[];

// What --format asked for; kByExtension lets the output's name decide.
enum class FormatChoice { kByExtension, kAnnexB, kMp4 };

struct Options {
  std::string url;
  std::string output;   // "": count only; "-": standard output
  std::string rtpdump;  // "": none
  std::string stats;    // --stats: "": none; "-": standard error
  FormatChoice format = FormatChoice::kByExtension;
  double seconds = 0;   // 0: no limit
  uint64_t frames = 0;  // 0: no limit
  double connectTimeout = 5;
  double segmentSeconds = 0;  // 0: one output file
  bool overwrite = false;
  bool reconnect = false;
  bool waitForKeyframe = true;
  bool quiet = false;
  bool verbose = false;
  bool noExtensions = false;  // every RTSPSessionOptions extension off
  bool audio = true;          // false: --no-audio
  bool cameraClock = false;   // --clock camera
  RTSP_TRANSPORT transport = RTSP_TRANSPORT_TCP;
  bool httpTunnel = false;     // --transport http
  std::string tlsCa;           // --tls-ca FILE
  std::string tlsFingerprint;  // --tls-fingerprint, as given
  bool tlsInsecure = false;    // --tls-insecure
  std::string user;            // --user; empty when not given
  bool passwordGiven = false;  // --password was given (possibly empty)
  std::string password;
  std::string passwordFile;  // --password-file; empty when not given
};

enum class ParseOutcome {
  kRun,         // `options` is complete
  kHelp,        // print kUsage and exit 0
  kVersion,     // print the version and exit 0
  kUsageError,  // print `error` and exit kExitUsage
};

// Parses argv[1..] (argv[0] is the program name). Uses getopt_long, so it
// must not run on two threads at once.
ParseOutcome parseOptions(const std::vector<std::string>& args, Options& options,
                          std::string& error);

// The output format: --format when given, otherwise ".mp4" (any case) gives
// MP4 and every other name, "-" included, Annex B, as before MP4 existed.
bool chooseMp4(const Options& options);

// The password file's first line without its line end. False with `error`
// set when the file cannot be read.
bool readPasswordFile(const std::string& path, std::string& password, std::string& error);

// The session options the tool runs with: RTSPSessionOptions::recommended(),
// or the defaults with --no-extensions; then the tracks (video and audio
// when recording MP4, unless --no-audio or --no-extensions), the transport and
// the credentials. The user comes from --user, else from the URL. The password
// from --password or --password-file (`filePassword`, already read), else
// from the URL, else from `environment("RTSP_PASSWORD")`. A password without
// a user is refused with `error` set. An rtsps:// URL turns TLS on, checked
// as --tls-ca, --tls-fingerprint or --tls-insecure say; those options with
// an rtsp:// URL are refused. `environment` returns nullptr for an
// unset variable.
bool buildSessionOptions(const Options& options, const RtspUrl& url,
                         const std::string& filePassword,
                         const std::function<const char*(const char*)>& environment,
                         RTSPSessionOptions& session, std::string& error);

// The stream path to give the session. With standard requests the library
// escapes the path itself, so it gets the path percent-decoded (a '%' that
// starts no escape stays a '%'); otherwise the path goes into the request
// line as written.
std::string sessionPath(const RtspUrl& url, const RTSPSessionOptions& session);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_OPTIONS_H_
