// The RTSP requests: OPTIONS, DESCRIBE, SETUP of the video track, PLAY and
// TEARDOWN, each built as one complete text ending with an empty line.
#include <rtsppull/rtsp_download.h>

#include <algorithm>
#include <iterator>
#include <list>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "session/rtsp_text.h"
#include "session/session_internal.h"

namespace {

// Numbers go through std::to_string, which ignores the global locale: a host
// that installs a locale with digit grouping must not change the requests.
std::string decimal(unsigned int value) { return std::to_string(value); }

// "Rtsp://" (capital R, as servers have always been sent), host, ":", the
// full 32-bit port, "/" and the path, unescaped.
std::string streamUrl(const std::string& addr, unsigned int port, const std::string& path) {
  return "Rtsp://" + addr + ":" + decimal(port) + "/" + path;
}

// The text of `line` from `from` up to its last two characters (its CR LF),
// trimmed; empty when nothing lies between.
std::string valueBeforeCrLf(const std::string& line, std::string::size_type from) {
  std::string value;
  if (line.size() >= 2 && from < line.size() - 2) value = line.substr(from, line.size() - 2 - from);
  boost::algorithm::trim(value);
  return value;
}

// The session id of a Session header value, without its parameters.
std::string sessionIdOnly(const std::string& value) {
  return rtsptext::parseSessionHeader(value).id;
}

}  // namespace

std::string CRTSPDownload::requestUrl() const {
  if (!options_.standardRequests) {
    return streamUrl(info_.serverAddr, info_.serverPort, info_.streamPath);
  }
  // Lower-case scheme, an IPv6 address in brackets, the path escaped.
  const bool ipv6 = info_.serverAddr.find(':') != std::string::npos;
  const std::string host = ipv6 ? "[" + info_.serverAddr + "]" : info_.serverAddr;
  return "rtsp://" + host + ":" + decimal(info_.serverPort) + "/" +
         rtsptext::escapePath(info_.streamPath);
}

std::string CRTSPDownload::makeOptions() {
  // Every handshake numbers its requests from 1 again.
  info_.cseq = 1;
  return "OPTIONS " + requestUrl() + " " + kRtspVersion + kCrLf + "CSeq: " + decimal(info_.cseq) +
         kCrLf + "User-Agent: (ORVE Streaming Media )" + kCrLf + kCrLf;
}

std::string CRTSPDownload::makeDescribe() {
  return "DESCRIBE " + requestUrl() + " " + kRtspVersion + kCrLf + "CSeq: " + decimal(info_.cseq) +
         kCrLf + "Accept: application/sdp" + kCrLf + "User-Agent: (ORVE Streaming Media )" + kCrLf +
         kCrLf;
}

bool CRTSPDownload::makeVideoSetup(std::string& request, COMM_TYPE type) {
  if (options_.standardRequests) return makeStandardVideoSetup(request, type);
  // The session only ever asks for interleaved channels 0 and 1 on the
  // control connection; `type` selects nothing else.
  static const std::string kVideoTag = "m=video";
  static const std::string kControlTag = "a=control:";
  const std::list<std::string>& lines = sdp_.lines;

  std::list<std::string>::const_iterator media = std::find_if(
      lines.begin(), lines.end(),
      [](const std::string& line) { return line.find(kVideoTag) != std::string::npos; });
  if (media == lines.end()) return false;

  // "m=video <port> <profile> <format>": exactly one payload format is
  // supported. Single spaces separate fields (two spaces make an empty one;
  // tabs separate nothing), and only the first video section is considered.
  const std::string mediaText = valueBeforeCrLf(*media, media->find(kVideoTag) + kVideoTag.size());
  std::vector<std::string> fields;
  boost::algorithm::split(fields, mediaText, boost::algorithm::is_any_of(" "),
                          boost::algorithm::token_compress_off);
  if (fields.size() != 3) return false;
  const std::string& profile = fields[1];

  // The control attribute is looked for from the video line on, so a
  // session-level one before it is never used, but one of a later section
  // is when the video section has none.
  std::list<std::string>::const_iterator control = std::find_if(
      media, lines.end(),
      [](const std::string& line) { return line.find(kControlTag) != std::string::npos; });
  if (control == lines.end()) return false;
  const std::string controlUrl =
      valueBeforeCrLf(*control, control->find(kControlTag) + kControlTag.size());

  // A control URL containing "rtsp" (lower case) is taken as absolute;
  // anything else is relative to the stream URL.
  std::string url;
  if (controlUrl.find("rtsp") != std::string::npos) {
    url = controlUrl;
  } else {
    url = streamUrl(info_.serverAddr, info_.serverPort, info_.streamPath) + "/" + controlUrl;
  }
  request = "SETUP " + url + " " + kRtspVersion + kCrLf + "CSeq: " + decimal(info_.cseq) + kCrLf +
            "Transport: " + profile + "/TCP;unicast;interleaved=0-1" + kCrLf + kCrLf;
  return true;
}

std::string CRTSPDownload::makePlay() {
  if (options_.standardRequests) {
    // The aggregate URL, and the session id without its parameters.
    return "PLAY " + aggregateUrl() + " " + kRtspVersion + kCrLf + "CSeq: " + decimal(info_.cseq) +
           kCrLf + "range: npt=0.000000-" + kCrLf + "Session: " + sessionIdOnly(info_.sessionId) +
           kCrLf + kCrLf;
  }
  return "PLAY " + streamUrl(info_.serverAddr, info_.serverPort, info_.streamPath) + " " +
         kRtspVersion + kCrLf + "CSeq: " + decimal(info_.cseq) + kCrLf + "range: npt=0.000000-" +
         kCrLf + "Session: " + info_.sessionId + kCrLf + kCrLf;
}

std::string CRTSPDownload::makeTearDown() {
  if (options_.standardRequests) {
    return "TEARDOWN " + aggregateUrl() + " " + kRtspVersion + kCrLf +
           "CSeq: " + decimal(info_.cseq) + kCrLf + "Session: " + sessionIdOnly(info_.sessionId) +
           kCrLf + kCrLf;
  }
  // The session id travels in a "Mission:" header, without a space.
  return "TEARDOWN " + streamUrl(info_.serverAddr, info_.serverPort, info_.streamPath) + " " +
         kRtspVersion + kCrLf + "CSeq: " + decimal(info_.cseq) + kCrLf +
         "Mission:" + info_.sessionId + kCrLf + kCrLf;
}

std::string CRTSPDownload::makeKeepAlive() {
  // Whatever the requests: the URL PLAY used, the id alone, no body.
  return keepAliveMethod_ + " " + (playUrl_.empty() ? requestUrl() : playUrl_) + " " +
         kRtspVersion + kCrLf + "CSeq: " + decimal(info_.cseq) + kCrLf +
         "Session: " + sessionIdOnly(info_.sessionId) + kCrLf + kCrLf;
}

std::string CRTSPDownload::aggregateUrl() const {
  return playUrl_.empty() ? requestUrl() : playUrl_;
}

bool CRTSPDownload::makeStandardVideoSetup(std::string& request, COMM_TYPE /*type*/) {
  // The first video section: its profile (any number of formats) and its own
  // control attribute, resolved against the base (RFC 2326 C.1.1); without
  // one, the base itself.
  for (const SDPMedia& media : media_) {
    if (media.media != "video") continue;
    if (media.protocol.empty() || media.payloadTypes.empty()) return false;
    request = "SETUP " + media.control + " " + kRtspVersion + kCrLf +
              "CSeq: " + decimal(info_.cseq) + kCrLf + "Transport: " + media.protocol +
              "/TCP;unicast;interleaved=0-1" + kCrLf + kCrLf;
    return true;
  }
  return false;
}
