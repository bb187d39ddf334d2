#include "http.h"

#include <httplib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

#include "log.h"
#include "report.h"
#include "retention.h"

namespace rtsp_recorder {

extern const char kPageHtml[];  // web/index.html, built in

namespace {

std::string base64(const std::string& in) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t v = (uint32_t{static_cast<uint8_t>(in[i])} << 16) |
                       (uint32_t{static_cast<uint8_t>(in[i + 1])} << 8) |
                       uint32_t{static_cast<uint8_t>(in[i + 2])};
    for (int shift = 18; shift >= 0; shift -= 6) out += kDigits[(v >> shift) & 63];
  }
  if (i < in.size()) {
    uint32_t v = uint32_t{static_cast<uint8_t>(in[i])} << 16;
    if (i + 1 < in.size()) v |= uint32_t{static_cast<uint8_t>(in[i + 1])} << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// A recording's file name as the page may ask for it: no path, no dot file.
bool plainFileName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos;
}

std::vector<std::string> splitNames(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = list.find(',', start);
    const size_t end = comma == std::string::npos ? list.size() : comma;
    if (end > start) names.push_back(list.substr(start, end - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return names;
}

void putU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (24 - 8 * i));
}

}  // namespace

std::string basicAuthorization(const std::string& user, const std::string& password) {
  return "Basic " + base64(user + ":" + password);
}

HttpServer::HttpServer(Service& service, const ServiceConfig& config)
    : service_(service),
      address_(config.bindAddress),
      configuredPort_(config.port),
      expectedAuthorization_(config.httpUser.empty()
                                 ? std::string()
                                 : basicAuthorization(config.httpUser, config.httpPassword)),
      server_(new httplib::Server) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string& error) {
  // Each live stream holds a worker for as long as it is watched.
  server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
  server_->set_keep_alive_timeout(5);
  server_->set_write_timeout(10);
  routes();
  if (configuredPort_ == 0) {
    port_ = server_->bind_to_any_port(address_);
  } else if (server_->bind_to_port(address_, configuredPort_)) {
    port_ = configuredPort_;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    error = "cannot listen on " + address_ + ":" + std::to_string(configuredPort_);
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void HttpServer::stop() {
  if (!thread_.joinable()) return;
  for (const auto& camera : service_.cameras()) camera->live().closeAll();
  server_->stop();
  thread_.join();
}

void HttpServer::routes() {
  httplib::Server& s = *server_;
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (expectedAuthorization_.empty() || req.path == "/healthz" ||
        req.get_header_value("Authorization") == expectedAuthorization_)
      return httplib::Server::HandlerResponse::Unhandled;
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"rtsp-recorder\", charset=\"UTF-8\"");
    res.set_content("authentication needed\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });

  s.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kPageHtml, "text/html; charset=utf-8");
  });
  s.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("ok\n", "text/plain");
  });
  s.Get("/api/cameras", [this](const httplib::Request&, httplib::Response& res) {
    std::vector<CameraStatus> statuses;
    for (const auto& camera : service_.cameras()) statuses.push_back(camera->status());
    res.set_header("Cache-Control", "no-store");
    res.set_content(camerasJson(statuses, std::chrono::system_clock::now()), "application/json");
  });
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    std::vector<CameraStatus> statuses;
    for (const auto& camera : service_.cameras()) statuses.push_back(camera->status());
    res.set_content(metricsText(statuses, freeBytes(service_.config().storeRoot), processFigures(),
                                std::chrono::system_clock::now()),
                    "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get(R"(/api/cameras/([A-Za-z0-9_-]+)/recordings)",
        [this](const httplib::Request& req, httplib::Response& res) {
          const auto camera = service_.find(req.matches[1]);
          if (!camera) {
            res.status = 404;
            return;
          }
          std::vector<SegmentFile> files =
              scanSegments(camera->config().name, camera->config().outputDir);
          const std::string active = camera->activeFile();
          for (SegmentFile& f : files) f.active = f.path == active;
          res.set_header("Cache-Control", "no-store");
          res.set_content(recordingsJson(files), "application/json");
        });
  s.Get(R"(/recordings/([A-Za-z0-9_-]+)/([^/]+))",
        [this](const httplib::Request& req, httplib::Response& res) {
          const auto camera = service_.find(req.matches[1]);
          const std::string name = req.matches[2];
          if (!camera || !plainFileName(name)) {
            res.status = 404;
            return;
          }
          auto file = std::make_shared<std::ifstream>(camera->config().outputDir + "/" + name,
                                                      std::ios::binary);
          struct stat st {};
          if (!*file || ::stat((camera->config().outputDir + "/" + name).c_str(), &st) != 0) {
            res.status = 404;
            return;
          }
          res.set_content_provider(
              static_cast<size_t>(st.st_size), "video/mp4",
              [file](size_t offset, size_t length, httplib::DataSink& sink) {
                char buffer[64 * 1024];
                file->clear();
                file->seekg(static_cast<std::streamoff>(offset));
                while (length > 0) {
                  file->read(buffer, static_cast<std::streamsize>(std::min(length, sizeof buffer)));
                  const auto n = static_cast<size_t>(file->gcount());
                  if (n == 0 || !sink.write(buffer, n)) return false;
                  length -= n;
                }
                return true;
              });
        });
  // Live view: one response carries every camera asked for, so that a grid
  // of many cameras needs one connection. Each chunk of the body is framed
  // as [1 byte: index in `cameras`][4 bytes: length, big-endian][bytes]:
  // first a camera's MP4 header, then its fragments, from a keyframe on.
  s.Get("/api/live", [this](const httplib::Request& req, httplib::Response& res) {
    const std::vector<std::string> names = splitNames(req.get_param_value("cameras"));
    auto viewer = std::make_shared<Viewer>();
    size_t attached = 0;
    for (size_t i = 0; i < names.size() && i < 255; ++i) {
      auto camera = service_.find(names[i]);
      if (!camera) continue;
      camera->live().attach(viewer, static_cast<uint32_t>(i));
      ++attached;
    }
    if (attached == 0) {
      res.status = 404;
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "application/octet-stream",
        [viewer](size_t, httplib::DataSink& sink) {
          std::vector<Viewer::Chunk> chunks;
          if (!viewer->take(chunks, std::chrono::milliseconds(500))) {
            sink.done();
            return true;
          }
          std::string out;
          for (const Viewer::Chunk& c : chunks) {
            out += static_cast<char>(c.feed);
            putU32(out, static_cast<uint32_t>(c.bytes->size()));
            out += *c.bytes;
          }
          if (out.empty()) return sink.is_writable();
          if (!sink.write(out.data(), out.size())) {
            viewer->close();
            return false;
          }
          return true;
        },
        [viewer](bool) { viewer->close(); });
  });
}

}  // namespace rtsp_recorder
