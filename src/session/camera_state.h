// What a session keeps for the tolerant options and for the figures of its
// stream (camera.cpp). Made with the session; the host thread writes it
// during the handshake, the receive thread while it runs, never both.
#ifndef RTSPPULL_SESSION_CAMERA_STATE_H_
#define RTSPPULL_SESSION_CAMERA_STATE_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <rtsppull/rtsp_download.h>

#include "session/stream_stats.h"

struct CRTSPDownload::CameraState {
  // Interleaved frames set aside during the handshake are kept up to this
  // many payload bytes; later ones are dropped.
  static const std::size_t kMaxEarlyBytes = 256 * 1024;

  StreamStats stats;
  // The interleaved channels of the video track: those the SETUP reply
  // names, else those asked for.
  int rtpChannel = 0;
  int rtcpChannel = 1;
  // Tolerant session, per connection: the Session value is settled once a
  // SETUP or PLAY reply gave one, and later replies do not change it.
  bool sessionSettled = false;
  std::string session;
  std::vector<std::pair<unsigned char, std::string>> earlyFrames;
  std::size_t earlyBytes = 0;
  // Receive thread: whether the last keep-alive has had a reply.
  bool keepAliveAnswered = true;
  // The RTP port of the last start over UDP (0: none yet).
  unsigned int lastRtpPort = 0;
};

#endif  // RTSPPULL_SESSION_CAMERA_STATE_H_
