// The media of a session description, the tracks a session sets up, and the
// receiver interface that tells a host which track a packet belongs to.
#ifndef RTSPPULL_TRACKS_H_
#define RTSPPULL_TRACKS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <rtsppull/export.h>

// Which tracks a session sets up (RTSPSessionOptions::tracks).
enum RTSP_TRACKS {
  RTSP_TRACKS_VIDEO,       // the video track only (the default)
  RTSP_TRACKS_VIDEO_AUDIO  // the video track and the first audio track the server offers
};

// One media section ("m=" line and its attributes) of a session description.
struct RTSPPULL_API SDPMedia {
  std::string media;              // "video", "audio", "application", ... as written, lower case
  std::string protocol;           // the m= line's transport protocol ("RTP/AVP"), as written
  std::vector<int> payloadTypes;  // the formats of the m= line that are numbers, in order
  int payloadType = -1;           // the first of them (-1: none)
  // Of payloadType's a=rtpmap; without one, of its static assignment in RFC
  // 3551 (0: PCMU/8000/1, 8: PCMA/8000/1, 14: MPA/90000, ...).
  std::string encodingName;  // as written ("H264", "MPEG4-GENERIC"); empty: unknown
  int clockRate = 0;         // 0: none given
  int channels = 0;          // 0: none given, which means 1 for audio
  // payloadType's a=fmtp parameters, in order, names as written, values
  // trimmed of white space.
  std::vector<std::pair<std::string, std::string>> fmtp;
  // The a=control value resolved against the base URL (absolute URLs kept,
  // "*" or none: the base itself).
  std::string control;

  // The value of the fmtp parameter `name` (case-insensitive); empty when absent.
  std::string fmtpValue(const std::string& name) const;

  // Every media section of `sdpText`, in order. `baseUrl` is what control
  // URLs are resolved against (Content-Base, else Content-Location, else the
  // request URL). Lenient: lines it cannot read are skipped; never throws.
  static std::vector<SDPMedia> parseAll(const std::string& sdpText, const std::string& baseUrl);
};

// A track a session has set up.
struct RTSPTrack {
  int index = 0;  // 0: the video track; then the others in the order they were set up
  SDPMedia media;
  // TCP: the interleaved channels of its RTP and RTCP (2*index, 2*index+1
  // unless the server chose others). UDP: -1.
  int rtpChannel = -1;
  int rtcpChannel = -1;
};

// An interface a receiver may implement besides IRTPReceiver
// (class MyReceiver : public IRTPReceiver, public IRTPTrackReceiver). When the
// session's options ask for more than the video track and the registered
// receiver implements it, every RTP and RTCP packet of every track (video
// included) goes to OnTrackData instead of OnRecvData; the stream header
// still goes to OnRecvData. With the video track only, or a receiver
// without it, hosts see only OnRecvData calls, exactly as without tracks
// (other tracks' packets are then dropped).
// Called on the receive thread, one call at a time, in arrival order (the
// reorder option applies to OnRecvData only); `data` (one whole RTP or RTCP
// packet, no interleaved header) is valid only during the call. Interleaved
// frames on a channel of no track are dropped. The call may ask
// CRTSPDownload::wallClock, which already knows an RTCP sender report handed
// on here. Return false to refuse it: reception ends as for a refused
// packet.
class RTSPPULL_API IRTPTrackReceiver {
 public:
  virtual ~IRTPTrackReceiver();
  virtual bool OnTrackData(int track, const char* data, unsigned int length, bool isRtcp) = 0;
};

#endif  // RTSPPULL_TRACKS_H_
