#include "config.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include <toml++/toml.h>

#include "options.h"
#include "url.h"

namespace rtsp_recorder {

namespace {

// A reason a value is refused, with where it was found.
struct Problem {
  size_t line = 0;
  std::string key;
  std::string what;
};

// Reads the keys of one table, remembering which were read so that the rest
// can be refused as unknown (a misspelt key would otherwise be ignored).
class TableReader {
 public:
  TableReader(const toml::table& table, std::string prefix)
      : table_(table), prefix_(std::move(prefix)) {}

  const toml::node* find(const char* key) {
    used_.insert(key);
    return table_.get(key);
  }

  bool string(const char* key, std::string& value, Problem& problem) {
    return plain(key, value, "must be a string", problem);
  }
  bool boolean(const char* key, bool& value, Problem& problem) {
    return plain(key, value, "must be true or false", problem);
  }
  bool number(const char* key, double& value, Problem& problem) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    if (node->is_integer()) {
      value = static_cast<double>(node->as_integer()->get());
    } else if (node->is_floating_point()) {
      value = node->as_floating_point()->get();
    } else {
      return wrong(key, node, "must be a number", problem);
    }
    if (!std::isfinite(value) || value <= 0)
      return wrong(key, node, "must be a positive number", problem);
    return true;
  }
  // An integer count of seconds, or a string such as "7d".
  bool duration(const char* key, std::chrono::seconds& value, Problem& problem) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    if (node->is_integer() && node->as_integer()->get() >= 0) {
      value = std::chrono::seconds(node->as_integer()->get());
      return true;
    }
    if (node->is_string() && parseDuration(node->as_string()->get(), value)) return true;
    return wrong(key, node, "must be a duration such as 3600, \"90m\", \"12h\" or \"7d\"", problem);
  }
  // An integer count of bytes, or a string such as "20G".
  bool bytes(const char* key, uint64_t& value, Problem& problem) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    if (node->is_integer() && node->as_integer()->get() >= 0) {
      value = static_cast<uint64_t>(node->as_integer()->get());
      return true;
    }
    if (node->is_string() && parseByteSize(node->as_string()->get(), value)) return true;
    return wrong(key, node, "must be a size such as 1000000, \"500M\" or \"2G\"", problem);
  }
  bool wrong(const char* key, const toml::node* node, const std::string& what, Problem& problem) {
    problem.line = node != nullptr ? node->source().begin.line : table_.source().begin.line;
    problem.key = prefix_ + key;
    problem.what = what;
    return false;
  }
  bool unknownKeys(Problem& problem) const {
    for (auto&& [key, node] : table_) {
      if (used_.count(std::string(key.str())) > 0) continue;
      problem.line = key.source().begin.line;
      problem.key = prefix_ + std::string(key.str());
      problem.what = "unknown key";
      return false;
    }
    return true;
  }
  size_t line() const { return table_.source().begin.line; }
  const std::string& prefix() const { return prefix_; }

 private:
  // A key whose TOML type is the C++ type of `value` (a string, a boolean).
  template <typename T>
  bool plain(const char* key, T& value, const char* mustBe, Problem& problem) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    const toml::value<T>* typed = node->as<T>();
    if (typed == nullptr) return wrong(key, node, mustBe, problem);
    value = typed->get();
    return true;
  }

  const toml::table& table_;
  std::string prefix_;
  std::set<std::string> used_;
};

bool validName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-' && c != '_') return false;
  }
  return true;
}

bool readFirstLine(const std::string& path, std::string& line) {
  std::ifstream in(path);
  if (!in) return false;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// The password of a camera or of the page: at most one of `password`,
// `password_file` and `password_env`.
bool readPassword(TableReader& reader, const Environment& environment, std::string& password,
                  Problem& problem) {
  std::string file, variable;
  const toml::node* inline_ = reader.find("password");
  if (!reader.string("password", password, problem) ||
      !reader.string("password_file", file, problem) ||
      !reader.string("password_env", variable, problem))
    return false;
  const int given = (inline_ != nullptr) + !file.empty() + !variable.empty();
  if (given > 1)
    return reader.wrong("password", inline_ ? inline_ : reader.find("password_file"),
                        "give one of password, password_file and password_env", problem);
  if (!file.empty() && !readFirstLine(file, password))
    return reader.wrong("password_file", reader.find("password_file"),
                        "cannot read \"" + file + "\"", problem);
  if (!variable.empty()) {
    const char* value = environment ? environment(variable.c_str()) : nullptr;
    if (value == nullptr)
      return reader.wrong("password_env", reader.find("password_env"),
                          "the environment variable " + variable + " is not set", problem);
    password = value;
  }
  return true;
}

bool readRetention(TableReader& reader, RetentionLimits& limits, Problem& problem) {
  return reader.duration("max_age", limits.maxAge, problem) &&
         reader.bytes("max_bytes", limits.maxBytes, problem);
}

bool readCamera(TableReader& reader, const ServiceConfig& service, const Environment& environment,
                CameraConfig& camera, Problem& problem) {
  std::string transport = "tcp";
  if (!reader.string("name", camera.name, problem) || !reader.string("url", camera.url, problem) ||
      !reader.string("user", camera.user, problem) ||
      !readPassword(reader, environment, camera.password, problem) ||
      !reader.string("transport", transport, problem) ||
      !reader.boolean("audio", camera.audio, problem) ||
      !reader.number("segment_seconds", camera.segmentSeconds, problem) ||
      !reader.string("output_dir", camera.outputDir, problem) ||
      !reader.string("file_pattern", camera.filePattern, problem) ||
      !readRetention(reader, camera.retention, problem) || !reader.unknownKeys(problem))
    return false;
  if (!validName(camera.name))
    return reader.wrong(
        "name", reader.find("name"),
        camera.name.empty() ? "is missing" : "may hold only letters, digits, '-' and '_'", problem);
  if (camera.url.empty()) return reader.wrong("url", reader.find("url"), "is missing", problem);
  rtsp_pull::RtspUrl url;
  std::string error;
  if (!rtsp_pull::parseRtspUrl(camera.url, url, error))
    return reader.wrong("url", reader.find("url"), error, problem);
  rtsp_pull::Options options;
  options.user = camera.user;
  options.passwordGiven = !camera.password.empty();
  RTSPSessionOptions session;
  if (!rtsp_pull::buildSessionOptions(options, url, "", nullptr, session, error))
    return reader.wrong("user", reader.find("user"), "is missing: a password needs a user",
                        problem);
  static const std::map<std::string, RTSP_TRANSPORT> kTransports = {
      {"tcp", RTSP_TRANSPORT_TCP},
      {"udp", RTSP_TRANSPORT_UDP},
      {"udp-then-tcp", RTSP_TRANSPORT_UDP_THEN_TCP}};
  const auto named = kTransports.find(transport);
  if (named == kTransports.end())
    return reader.wrong("transport", reader.find("transport"),
                        "must be \"tcp\", \"udp\" or \"udp-then-tcp\"", problem);
  camera.transport = named->second;
  if (camera.filePattern.empty()) camera.filePattern = "%Y-%m-%d_%H-%M-%S.mp4";
  if (camera.filePattern.find('/') != std::string::npos)
    return reader.wrong("file_pattern", reader.find("file_pattern"),
                        "names a file inside output_dir and may not hold '/'", problem);
  if (camera.outputDir.empty()) camera.outputDir = service.storeRoot + "/" + camera.name;
  return true;
}

bool readServer(TableReader& reader, const Environment& environment, ServiceConfig& config,
                Problem& problem) {
  std::string listen;
  if (!reader.string("listen", listen, problem) ||
      !reader.string("user", config.httpUser, problem) ||
      !readPassword(reader, environment, config.httpPassword, problem) ||
      !reader.unknownKeys(problem))
    return false;
  if (!listen.empty()) {
    const size_t colon = listen.rfind(':');
    char* end = nullptr;
    const unsigned long port =
        colon == std::string::npos ? 0 : std::strtoul(listen.c_str() + colon + 1, &end, 10);
    if (colon == 0 || colon == std::string::npos || end == nullptr || *end != '\0' ||
        port > 65535 || colon + 1 == listen.size())
      return reader.wrong("listen", reader.find("listen"),
                          "must be ADDRESS:PORT, such as \"127.0.0.1:8554\"", problem);
    config.bindAddress = listen.substr(0, colon);
    config.port = static_cast<uint16_t>(port);
  }
  if (!config.httpPassword.empty() && config.httpUser.empty())
    return reader.wrong("user", nullptr, "is missing: a password needs a user", problem);
  return true;
}

bool readStore(TableReader& reader, ServiceConfig& config, Problem& problem) {
  return reader.string("root", config.storeRoot, problem) &&
         readRetention(reader, config.storeRetention, problem) &&
         reader.bytes("min_free", config.minFreeBytes, problem) && reader.unknownKeys(problem);
}

bool parseTable(const toml::table& root, const Environment& environment, ServiceConfig& config,
                Problem& problem) {
  TableReader top(root, "");
  const toml::node* server = top.find("server");
  const toml::node* store = top.find("store");
  const toml::node* cameras = top.find("camera");
  if (!top.unknownKeys(problem)) return false;
  if (server != nullptr) {
    if (!server->is_table()) return top.wrong("server", server, "must be a table", problem);
    TableReader reader(*server->as_table(), "server.");
    if (!readServer(reader, environment, config, problem)) return false;
  }
  if (store != nullptr) {
    if (!store->is_table()) return top.wrong("store", store, "must be a table", problem);
    TableReader reader(*store->as_table(), "store.");
    if (!readStore(reader, config, problem)) return false;
  }
  if (cameras == nullptr) return true;
  if (!cameras->is_array_of_tables())
    return top.wrong("camera", cameras, "must be an array of tables ([[camera]])", problem);
  std::set<std::string> names;
  size_t index = 0;
  for (const toml::node& node : *cameras->as_array()) {
    const toml::table& table = *node.as_table();
    const toml::node* name = table.get("name");
    std::string prefix = "camera[" + std::to_string(index++) + "]";
    if (name != nullptr && name->is_string())
      prefix = "camera \"" + name->as_string()->get() + "\"";
    TableReader reader(table, prefix + ".");
    CameraConfig camera;
    if (!readCamera(reader, config, environment, camera, problem)) return false;
    if (!names.insert(camera.name).second)
      return reader.wrong("name", name, "is taken by an earlier camera", problem);
    config.cameras.push_back(std::move(camera));
  }
  return true;
}

bool parseWithSuffix(const std::string& text, const char* suffixes, const uint64_t* scales,
                     uint64_t& value) {
  if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0])) == 0) return false;
  size_t digits = 0;
  uint64_t number = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])) != 0) {
    if (number > (UINT64_MAX - 9) / 10) return false;
    number = number * 10 + static_cast<uint64_t>(text[digits++] - '0');
  }
  uint64_t scale = 1;
  if (digits < text.size()) {
    if (digits + 1 != text.size()) return false;
    const char* found = std::strchr(suffixes, text[digits]);
    if (found == nullptr || text[digits] == '\0') return false;
    scale = scales[found - suffixes];
  }
  if (number > UINT64_MAX / scale) return false;
  value = number * scale;
  return true;
}

}  // namespace

bool CameraConfig::operator==(const CameraConfig& o) const {
  return name == o.name && url == o.url && user == o.user && password == o.password &&
         transport == o.transport && audio == o.audio && segmentSeconds == o.segmentSeconds &&
         outputDir == o.outputDir && filePattern == o.filePattern && retention == o.retention;
}

bool parseDuration(const std::string& text, std::chrono::seconds& value) {
  static const uint64_t kScales[] = {1, 60, 3600, 86400};
  uint64_t seconds = 0;
  if (!parseWithSuffix(text, "smhd", kScales, seconds) || seconds > (1ull << 40)) return false;
  value = std::chrono::seconds(static_cast<long long>(seconds));
  return true;
}

bool parseByteSize(const std::string& text, uint64_t& value) {
  static const uint64_t kScales[] = {1ull << 10, 1ull << 20, 1ull << 30, 1ull << 40};
  return parseWithSuffix(text, "KMGT", kScales, value);
}

bool parseConfig(const std::string& text, const std::string& path, const Environment& environment,
                 ServiceConfig& config, std::string& error) {
  ServiceConfig parsed;
  parsed.path = path;
  Problem problem;
  try {
    const toml::table root = toml::parse(text, path);
    if (parseTable(root, environment, parsed, problem)) {
      config = std::move(parsed);
      return true;
    }
  } catch (const toml::parse_error& e) {
    problem.line = e.source().begin.line;
    problem.what = std::string(e.description());
  }
  std::ostringstream out;
  out << path << ":" << problem.line << ": ";
  if (!problem.key.empty()) out << problem.key << ": ";
  out << problem.what;
  error = out.str();
  return false;
}

bool loadConfig(const std::string& path, const Environment& environment, ServiceConfig& config,
                std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot read the file";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parseConfig(text.str(), path, environment, config, error);
}

ReloadPlan planReload(const ServiceConfig& before, const ServiceConfig& after) {
  ReloadPlan plan;
  for (const CameraConfig& camera : before.cameras) {
    bool kept = false;
    for (const CameraConfig& next : after.cameras) kept = kept || next.name == camera.name;
    if (!kept) plan.removed.push_back(camera.name);
  }
  for (const CameraConfig& camera : after.cameras) {
    const CameraConfig* old = nullptr;
    for (const CameraConfig& previous : before.cameras) {
      if (previous.name == camera.name) old = &previous;
    }
    if (old == nullptr) {
      plan.added.push_back(camera.name);
    } else if (*old != camera) {
      plan.changed.push_back(camera.name);
    } else {
      plan.unchanged.push_back(camera.name);
    }
  }
  return plan;
}

}  // namespace rtsp_recorder
