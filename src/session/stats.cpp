// The figures of a session's stream.
#include <rtsppull/rtsp_download.h>

RTSPSessionStats CRTSPDownload::stats() const { return RTSPSessionStats(); }
