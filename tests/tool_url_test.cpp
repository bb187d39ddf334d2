// The rtsp-pull tool's URL parser: host, port and path, and the ports it
// refuses.
#include <gtest/gtest.h>

#include <string>

#include "url.h"

namespace {

TEST(ToolUrl, TakesHostPortAndPathAndRefusesPortsOutOfRange) {
  // clang-format off
  struct Case { std::string text; bool accepted; std::string hostPortPath; };
  const Case cases[] = {
      {"rtsp://127.0.0.1/live", true, "127.0.0.1|554|live"},
      {"RTSP://cam.local:8554/a/b?x=1", true, "cam.local|8554|a/b?x=1"},
      {"rtsp://h:65535/s", true, "h|65535|s"},
      {"rtsp://h:0/s", false, ""},
      {"rtsp://h:65536/s", false, ""},
      {"rtsp://h:/s", false, ""},
      {"rtsp://:554/s", false, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    rtsp_pull::RtspUrl url;
    std::string error;
    const bool accepted = rtsp_pull::parseRtspUrl(c.text, url, error);
    EXPECT_EQ(accepted, c.accepted) << c.text;
    if (accepted) {
      EXPECT_EQ(url.host + "|" + std::to_string(url.port) + "|" + url.path, c.hostPortPath)
          << c.text;
    } else {
      EXPECT_FALSE(error.empty()) << c.text;
    }
  }
}

}  // namespace
