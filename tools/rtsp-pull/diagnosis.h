// Explaining a failed start or an ended stream to the user, from the
// session's own account of it (CRTSPDownload::lastFailure).
#ifndef RTSP_PULL_DIAGNOSIS_H_
#define RTSP_PULL_DIAGNOSIS_H_

#include <string>

#include <rtsppull/session_options.h>

#include "url.h"

namespace rtsp_pull {

// One or two sentences: which step failed, the server's reply when there was
// one, and the likely cause. `user`: the user name the session authenticated
// as; empty when none was given.
std::string explainFailure(const RTSPFailure& failure, const RtspUrl& url, const std::string& user);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_DIAGNOSIS_H_
