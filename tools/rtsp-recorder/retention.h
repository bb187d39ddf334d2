// Which recordings to delete, and the directory scan that feeds it. The
// choice is a pure function of the files, the limits and the time, so that
// it is tested with a fake clock.
#ifndef RTSP_RECORDER_RETENTION_H_
#define RTSP_RECORDER_RETENTION_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config.h"

namespace rtsp_recorder {

struct SegmentFile {
  std::string camera;
  std::string path;
  uint64_t bytes = 0;
  std::chrono::system_clock::time_point modified;
  bool active = false;  // being written: never deleted, but counted
};

// The files to delete, oldest first: per camera those older than its maxAge
// and then the oldest until it holds at most its maxBytes; then, over the
// whole store, those older than the store's maxAge and the oldest until the
// store holds at most its maxBytes. Active files are never chosen, so a
// limit smaller than the file being written is kept as well as it can be.
std::vector<SegmentFile> chooseDeletions(std::vector<SegmentFile> files,
                                         const std::map<std::string, RetentionLimits>& perCamera,
                                         const RetentionLimits& store,
                                         std::chrono::system_clock::time_point now);

// The regular files of `directory` whose name ends in ".mp4", for `camera`.
// Missing directories give none.
std::vector<SegmentFile> scanSegments(const std::string& camera, const std::string& directory);

// Cuts a fragmented MP4 file back to its last whole top-level box, so that
// a write cut short (a full disk) leaves a file that ends at a fragment's
// end; a moof without its mdat goes too. Returns the bytes removed (0 when
// the file was whole), or -1 when it cannot be read or truncated.
// `fragments`, when given, is set to whether a whole fragment remains.
long long trimToWholeFragments(const std::string& path, bool* fragments = nullptr);

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_RETENTION_H_
