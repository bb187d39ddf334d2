// The tracks a session has set up, and their wall-clock times.
#include <rtsppull/rtsp_download.h>

IRTPTrackReceiver::~IRTPTrackReceiver() = default;

std::vector<RTSPTrack> CRTSPDownload::tracks() const { return {}; }

bool CRTSPDownload::wallClock(int, std::uint32_t, std::uint64_t*) const { return false; }
