// The rtsp-pull tool's URL parser: host, port and path, and the ports it
// refuses.
#include <gtest/gtest.h>

#include <string>

#include "url.h"

namespace {

TEST(ToolUrl, TakesHostPortAndPathAndRefusesPortsOutOfRange) {
  struct Case {
    std::string text;
    bool accepted;
    std::string parts;  // "host|port|path" when accepted
  };
  const Case cases[] = {
      {/*.text=*/"rtsp://127.0.0.1/live", /*.accepted=*/true, /*.parts=*/"127.0.0.1|554|live"},
      {/*.text=*/"RTSP://cam.local:8554/a/b?x=1", /*.accepted=*/true,
       /*.parts=*/"cam.local|8554|a/b?x=1"},
      {/*.text=*/"rtsp://h:1", /*.accepted=*/true, /*.parts=*/"h|1|"},
      {/*.text=*/"rtsp://h:65535/s", /*.accepted=*/true, /*.parts=*/"h|65535|s"},
      {/*.text=*/"rtsp://h:0/s", /*.accepted=*/false, /*.parts=*/""},
      {/*.text=*/"rtsp://h:00000/s", /*.accepted=*/false, /*.parts=*/""},
      {/*.text=*/"rtsp://h:65536/s", /*.accepted=*/false, /*.parts=*/""},
      {/*.text=*/"rtsp://h:/s", /*.accepted=*/false, /*.parts=*/""},
      {/*.text=*/"rtsp://h:-1/s", /*.accepted=*/false, /*.parts=*/""},
      {/*.text=*/"rtsp://:554/s", /*.accepted=*/false, /*.parts=*/""},
  };
  for (const Case& c : cases) {
    rtsp_pull::RtspUrl url;
    std::string error;
    const bool accepted = rtsp_pull::parseRtspUrl(c.text, url, error);
    EXPECT_EQ(accepted, c.accepted) << c.text;
    if (accepted) {
      EXPECT_EQ(url.host + "|" + std::to_string(url.port) + "|" + url.path, c.parts) << c.text;
    } else {
      EXPECT_FALSE(error.empty()) << c.text;
    }
  }
}

}  // namespace
