// The service's log: one line per event on standard error, whole lines even
// when several threads write at once.
#ifndef RTSP_RECORDER_LOG_H_
#define RTSP_RECORDER_LOG_H_

#include <string>

namespace rtsp_recorder {

void logLine(const std::string& text);

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_LOG_H_
