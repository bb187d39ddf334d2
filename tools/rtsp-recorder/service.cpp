#include "service.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include "log.h"
#include "retention.h"

namespace rtsp_recorder {

namespace {

constexpr std::chrono::milliseconds kStartSpacing{10};

}  // namespace

Service::Service(ServiceConfig config) : config_(std::move(config)) {}

Service::~Service() {
  std::vector<std::shared_ptr<Camera>> cameras;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cameras.swap(cameras_);
  }
  for (const auto& camera : cameras) camera->requestStop();
  cameras.clear();  // joins each camera's thread
}

void Service::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Connections open kStartSpacing apart: a thousand cameras take 10 s to
  // start rather than a thousand handshakes competing in one instant.
  std::chrono::milliseconds delay{0};
  for (const CameraConfig& camera : config_.cameras) {
    cameras_.push_back(std::make_shared<Camera>(camera, config_.minFreeBytes, delay));
    delay += kStartSpacing;
  }
}

ReloadPlan Service::reload(ServiceConfig next) {
  std::vector<std::shared_ptr<Camera>> leaving;
  ReloadPlan plan;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    plan = planReload(config_, next);
    std::map<std::string, std::shared_ptr<Camera>> running;
    for (const auto& camera : cameras_) running[camera->config().name] = camera;
    std::vector<std::shared_ptr<Camera>> kept;
    for (const CameraConfig& camera : next.cameras) {
      auto it = running.find(camera.name);
      if (it != running.end() && it->second->config() == camera) {
        kept.push_back(it->second);
        running.erase(it);
      } else {
        kept.push_back(std::make_shared<Camera>(camera, next.minFreeBytes));
      }
    }
    for (auto& [name, camera] : running) leaving.push_back(camera);
    cameras_ = std::move(kept);
    config_ = std::move(next);
  }
  for (const auto& camera : leaving) camera->requestStop();
  leaving.clear();  // joins each: its last segment is closed
  for (const std::string& name : plan.added) logLine("camera " + name + ": added");
  for (const std::string& name : plan.removed) logLine("camera " + name + ": removed");
  for (const std::string& name : plan.changed) logLine("camera " + name + ": restarted (changed)");
  return plan;
}

bool Service::stop(std::chrono::milliseconds budget) {
  const std::vector<std::shared_ptr<Camera>> cameras = this->cameras();
  for (const auto& camera : cameras) camera->requestStop();
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (;;) {
    bool all = true;
    for (const auto& camera : cameras) all = all && camera->stopped();
    if (all) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::shared_ptr<Camera>> Service::cameras() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cameras_;
}

std::shared_ptr<Camera> Service::find(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& camera : cameras_) {
    if (camera->config().name == name) return camera;
  }
  return nullptr;
}

ServiceConfig Service::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

size_t Service::enforceRetention(std::chrono::system_clock::time_point now) {
  const ServiceConfig config = this->config();
  std::vector<SegmentFile> files;
  std::map<std::string, RetentionLimits> limits;
  for (const auto& camera : cameras()) {
    const CameraConfig& c = camera->config();
    limits[c.name] = c.retention;
    const std::string active = camera->activeFile();
    for (SegmentFile& f : scanSegments(c.name, c.outputDir)) {
      f.active = f.path == active;
      files.push_back(std::move(f));
    }
  }
  size_t deleted = 0;
  for (const SegmentFile& f : chooseDeletions(files, limits, config.storeRetention, now)) {
    if (::unlink(f.path.c_str()) == 0) {
      ++deleted;
      logLine("camera " + f.camera + ": retention deleted " + f.path);
    } else if (errno != ENOENT) {
      logLine("camera " + f.camera + ": cannot delete " + f.path + ": " + std::strerror(errno));
    }
  }
  return deleted;
}

}  // namespace rtsp_recorder
