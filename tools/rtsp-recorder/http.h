// The service's HTTP side: the page, the JSON API, the live streams, the
// recordings, /metrics and /healthz, optionally behind Basic authentication.
#ifndef RTSP_RECORDER_HTTP_H_
#define RTSP_RECORDER_HTTP_H_

#include <memory>
#include <string>
#include <thread>

#include "service.h"

namespace httplib {
class Server;
}

namespace rtsp_recorder {

class HttpServer {
 public:
  HttpServer(Service& service, const ServiceConfig& config);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the configured address and serves on a thread of its own. False
  // with `error` when the address cannot be bound.
  bool start(std::string& error);
  int port() const { return port_; }
  // Ends every live stream and the listener.
  void stop();

 private:
  void routes();

  Service& service_;
  const std::string address_;
  const uint16_t configuredPort_;
  const std::string expectedAuthorization_;  // "" when the page is open
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::thread thread_;
};

// The value of an Authorization header that Basic authentication with
// `user` and `password` accepts.
std::string basicAuthorization(const std::string& user, const std::string& password);

}  // namespace rtsp_recorder

#endif  // RTSP_RECORDER_HTTP_H_
