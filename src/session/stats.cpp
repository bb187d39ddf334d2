// The figures of a session's stream (counted in stream_stats.cpp, fed by
// camera.cpp and the receive thread).
#include <rtsppull/rtsp_download.h>

#include "session/camera_state.h"

RTSPSessionStats CRTSPDownload::stats() const { return camera_->stats.snapshot(); }
