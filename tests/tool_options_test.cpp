// rtsp-pull's command line: option parsing, the URL, credentials from the
// URL, the options and the environment, the output format, the help text, and
// the failure messages made from the session's RTSPFailure. The command lines
// and what they give are rows of tests/data/tool_*.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diagnosis.h"
#include "options.h"
#include "support/media_files.h"
#include "url.h"

namespace {

using namespace rtsp_pull;

// Parses `command` (split at spaces) into `options`; the URL is any word.
ParseOutcome parse(const std::string& command, Options& options, std::string& error) {
  std::istringstream words(command);
  std::vector<std::string> args{"rtsp-pull"};
  for (std::string word; words >> word;) args.push_back(word);
  return parseOptions(args, options, error);
}

// What `command` parses into, as tests/data/tool_command_lines.txt shows it.
std::string parsed(const std::string& command) {
  Options o;
  std::string error;
  const ParseOutcome outcome = parse(command, o, error);
  if (outcome == ParseOutcome::kUsageError) return "refused: " + error;
  if (outcome != ParseOutcome::kRun) return outcome == ParseOutcome::kHelp ? "help" : "version";
  std::ostringstream s;
  s << o.url;
  // clang-format off
  const std::pair<bool, std::string> shown[] = {
      {!o.output.empty(), "output=" + o.output}, {chooseMp4(o), "mp4"},
      {o.segmentSeconds != 0, "segment=" + std::to_string(o.segmentSeconds)}, {o.overwrite, "overwrite"},
      {o.reconnect, "reconnect"}, {o.seconds != 0, "seconds=" + std::to_string(o.seconds)},
      {o.frames != 0, "frames=" + std::to_string(o.frames)},
      {o.connectTimeout != 5, "connect=" + std::to_string(o.connectTimeout)},
      {!o.rtpdump.empty(), "rtpdump=" + o.rtpdump}, {!o.waitForKeyframe, "no-wait"}, {o.quiet, "quiet"},
      {o.verbose, "verbose"}, {o.noExtensions, "plain"},
      {o.transport != RTSP_TRANSPORT_TCP, "transport=" + std::to_string(o.transport)},
      {!o.user.empty(), "user=" + o.user}, {o.passwordGiven, "password=" + o.password},
      {!o.passwordFile.empty(), "password-file=" + o.passwordFile}, {o.httpTunnel, "tunnel"},
      {!o.tlsCa.empty(), "ca=" + o.tlsCa}, {!o.tlsFingerprint.empty(), "pin=" + o.tlsFingerprint},
      {o.tlsInsecure, "insecure"}, {!o.audio, "no-audio"}, {o.cameraClock, "camera-clock"}};
  // clang-format on
  for (const auto& field : shown) {
    if (field.first) s << " " << field.second;
  }
  return s.str();
}

// What the tool hands the session for `command`, as
// tests/data/tool_session_options.txt shows it.
std::string session(std::string command) {
  std::string env;
  if (command.compare(0, 14, "RTSP_PASSWORD=") == 0) {
    env = command.substr(14, command.find(' ') - 14);
    command.erase(0, command.find(' ') + 1);
  }
  Options options;
  RtspUrl url;
  RTSPSessionOptions s;
  std::string error;
  const auto environment = [&env](const char* name) {
    return std::string(name) == "RTSP_PASSWORD" && !env.empty() ? env.c_str() : nullptr;
  };
  if (parse(command, options, error) != ParseOutcome::kRun ||
      !parseRtspUrl(options.url, url, error) ||
      !buildSessionOptions(options, url, "file-pw", environment, s, error))
    return "refused: " + error;
  const auto same = [&s](const RTSPSessionOptions& o) {
    return s.keepAliveSec == o.keepAliveSec && s.standardRequests == o.standardRequests &&
           s.maxRedirects == o.maxRedirects && s.boundedReplies == o.boundedReplies &&
           s.receiveBufferBytes == o.receiveBufferBytes;
  };
  const char* extensions = same(RTSPSessionOptions::recommended()) ? "on"
                           : same(RTSPSessionOptions())            ? "off"
                                                                   : "mixed";
  return url.host + ":" + std::to_string(url.port) + "|" + s.user + "|" + s.password + "|" +
         extensions + "|" + std::to_string(s.transport) + "|" + sessionPath(url, s) +
         (s.tracks == RTSP_TRACKS_VIDEO_AUDIO ? "|+audio" : "");
}

TEST(ToolOptions, CommandLinesParseIntoTheirFieldsOrAreRefusedWithAReason) {
  const auto rows = rtsptest::dataFields("tool_command_lines.txt", " => ");
  ASSERT_GE(rows.size(), 40u);
  for (const auto& row : rows) EXPECT_EQ(parsed(row.at(0)), row.at(1)) << row[0];
}

TEST(ToolSessionOptions, UrlCredentialsExtensionsTransportPathAndTracks) {
  const auto rows = rtsptest::dataFields("tool_session_options.txt", " => ");
  ASSERT_GE(rows.size(), 30u);
  for (const auto& row : rows) EXPECT_EQ(session(row.at(0)), row.at(1)) << row[0];
}

TEST(ToolOptions, TheReadmeShowsWhatHelpPrints) {
  std::ifstream readme(RTSPPULL_README);
  std::string line, shown;
  bool inside = false;
  while (std::getline(readme, line) && line.compare(0, 11, "With `-o -`") != 0) {
    if (inside) shown += (line.compare(0, 4, "    ") == 0 ? line.substr(4) : line) + "\n";
    inside = inside || line == "`rtsp-pull --help`:";
  }
  EXPECT_EQ(shown, "\n" + std::string(kUsage) + "\n");
}

TEST(ToolPasswordFile, GivesTheFirstLineWithoutItsEnd) {
  TempDir dir;
  std::ofstream(dir.file("pw")) << "s3cret pass\r\nsecond line\n";
  std::string password, error;
  EXPECT_TRUE(readPasswordFile(dir.file("pw"), password, error));
  EXPECT_EQ(password, "s3cret pass");
  EXPECT_FALSE(readPasswordFile(dir.file("missing"), password, error));
}

// The cases of data/tool_failure_texts.txt.
TEST(ToolFailureText, SaysWhatTheCauseAndTheStatusMean) {
  // clang-format off
  const std::vector<std::string> steps = {"NONE", "CONNECT", "OPTIONS", "DESCRIBE", "SDP", "SETUP",
      "PLAY", "RECEIVE"};
  const std::vector<std::string> causes = {"NONE", "REFUSED", "NAME_NOT_RESOLVED", "TIMED_OUT",
      "NETWORK", "AUTH_NEEDED", "AUTH_FAILED", "NOT_FOUND", "TRANSPORT_REFUSED", "REDIRECT",
      "SERVER_ERROR", "MALFORMED_REPLY", "CLOSED_BY_SERVER", "NO_DATA", "BAD_DATA",
      "RECEIVER_REFUSED", "STOPPED", "RESOURCES", "INTERNAL", "TLS", "CERT_EXPIRED",
      "CERT_UNTRUSTED", "CERT_NAME_MISMATCH", "CERT_PIN_MISMATCH"};
  // clang-format on
  RtspUrl url;
  std::string error;
  ASSERT_TRUE(parseRtspUrl("rtsp://cam:8554/live", url, error));
  const auto rows = rtsptest::dataFields("tool_failure_texts.txt");
  ASSERT_GE(rows.size(), 25u);
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 6u) << row[0];
    const std::vector<std::string> code = split(row[0]);
    RTSPFailure failure;
    failure.step =
        static_cast<RTSP_STEP>(std::find(steps.begin(), steps.end(), code.at(0)) - steps.begin());
    failure.cause = static_cast<RTSP_CAUSE>(std::find(causes.begin(), causes.end(), code.at(1)) -
                                            causes.begin());
    failure.statusCode = std::stoi(code.at(2));
    failure.statusLine = row[1];
    failure.detail = row[2];
    failure.transport = row[3] == "udp" ? RTSP_TRANSPORT_UDP : RTSP_TRANSPORT_TCP;
    const std::string says = explainFailure(failure, url, row[4]);
    EXPECT_NE(says.find(row[5]), std::string::npos) << row[0] << ": " << says;
  }
}

}  // namespace
