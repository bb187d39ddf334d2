// The running service: the cameras of the configuration, reloads, and the
// retention pass over the store.
#ifndef RTSP_RECORDER_SERVICE_H_
#define RTSP_RECORDER_SERVICE_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera.h"
#include "config.h"

namespace rtsp_recorder {

class Service {
 public:
  explicit Service(ServiceConfig config);
  ~Service();

  // Starts every camera.
  void start();
  // Applies `next`: added cameras start, removed ones stop (their last
  // segment closed), changed ones restart, the others are not touched.
  // The HTTP listener keeps its address until the service restarts.
  ReloadPlan reload(ServiceConfig next);
  // Asks every camera to stop and waits up to `budget` for all of them;
  // false when some are still stopping (inside a connection attempt).
  bool stop(std::chrono::milliseconds budget);

  std::vector<std::shared_ptr<Camera>> cameras() const;
  std::shared_ptr<Camera> find(const std::string& name) const;
  ServiceConfig config() const;

  // Deletes what the retention limits say, never a file being written.
  // Returns how many files went.
  size_t enforceRetention(std::chrono::system_clock::time_point now);

 private:
  mutable std::mutex mutex_;
  ServiceConfig config_;
  std::vector<std::shared_ptr<Camera>> cameras_;  // in the configuration's order
};

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_SERVICE_H_
