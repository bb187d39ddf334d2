#include "retention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace rtsp_recorder {

namespace {

bool older(const SegmentFile& a, const SegmentFile& b) {
  return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
}

// Marks for deletion, oldest first, the files of `group` (sorted by age)
// that are too old or that keep the group above its byte limit.
void applyLimits(std::vector<SegmentFile*>& group, const RetentionLimits& limits,
                 std::chrono::system_clock::time_point now, std::vector<bool>& doomed,
                 const std::vector<SegmentFile>& all) {
  uint64_t total = 0;
  for (const SegmentFile* f : group) {
    if (!doomed[static_cast<size_t>(f - all.data())]) total += f->bytes;
  }
  for (SegmentFile* f : group) {
    const size_t index = static_cast<size_t>(f - all.data());
    if (f->active || doomed[index]) continue;
    const bool tooOld = limits.maxAge.count() > 0 && now - f->modified > limits.maxAge;
    const bool tooMuch = limits.maxBytes > 0 && total > limits.maxBytes;
    if (!tooOld && !tooMuch) continue;
    doomed[index] = true;
    total -= f->bytes;
  }
}

}  // namespace

std::vector<SegmentFile> chooseDeletions(std::vector<SegmentFile> files,
                                         const std::map<std::string, RetentionLimits>& perCamera,
                                         const RetentionLimits& store,
                                         std::chrono::system_clock::time_point now) {
  std::sort(files.begin(), files.end(), older);
  std::vector<bool> doomed(files.size(), false);
  std::map<std::string, std::vector<SegmentFile*>> byCamera;
  std::vector<SegmentFile*> everything;
  for (SegmentFile& f : files) {
    byCamera[f.camera].push_back(&f);
    everything.push_back(&f);
  }
  for (auto& [camera, group] : byCamera) {
    const auto limits = perCamera.find(camera);
    if (limits != perCamera.end()) applyLimits(group, limits->second, now, doomed, files);
  }
  applyLimits(everything, store, now, doomed, files);
  std::vector<SegmentFile> chosen;
  for (size_t i = 0; i < files.size(); ++i) {
    if (doomed[i]) chosen.push_back(files[i]);
  }
  return chosen;
}

std::vector<SegmentFile> scanSegments(const std::string& camera, const std::string& directory) {
  std::vector<SegmentFile> found;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return found;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".mp4") != 0) continue;
    SegmentFile f;
    f.camera = camera;
    f.path = directory + "/" + name;
    struct stat st {};
    if (::stat(f.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    f.bytes = static_cast<uint64_t>(st.st_size);
    f.modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) +
            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    found.push_back(std::move(f));
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(), older);
  return found;
}

long long trimToWholeFragments(const std::string& path, bool* fragments) {
  if (fragments != nullptr) *fragments = false;
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return -1;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  // `whole`: the end of the last box that is not a moof waiting for its mdat.
  uint64_t at = 0, whole = 0;
  for (;;) {
    unsigned char head[16];
    if (size - at < 8 || ::pread(fd, head, 16, static_cast<off_t>(at)) < 8) break;
    uint64_t boxSize =
        (uint64_t{head[0]} << 24) | (uint64_t{head[1]} << 16) | (uint64_t{head[2]} << 8) | head[3];
    if (boxSize == 1) {
      if (size - at < 16) break;
      boxSize = 0;
      for (int i = 8; i < 16; ++i) boxSize = (boxSize << 8) | head[i];
    }
    if (boxSize < 8 || boxSize > size - at) break;  // cut short, or size 0 (to the end)
    const std::string type(reinterpret_cast<const char*>(head) + 4, 4);
    at += boxSize;
    if (type != "moof") whole = at;
    if (type == "mdat" && fragments != nullptr) *fragments = true;
  }
  long long removed = 0;
  if (whole < size) {
    if (::ftruncate(fd, static_cast<off_t>(whole)) != 0) {
      ::close(fd);
      return -1;
    }
    removed = static_cast<long long>(size - whole);
  }
  ::close(fd);
  return removed;
}

}  // namespace rtsp_recorder
