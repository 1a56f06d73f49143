#include "scan/scanner.h"

#include <string.h>

#include "insert/plugin.h"

namespace wf::host {

using nlohmann::json;
using namespace std::chrono_literals;

ScanChild::~ScanChild() = default;
ScanPlatform::~ScanPlatform() = default;

namespace {

// Without a descriptor that tells when the child ends, the loop looks again
// this often.
constexpr auto END_POLL_INTERVAL = 10ms;

// A scan answered from the cache.
class DoneScan final : public PendingCommand {
 public:
  explicit DoneScan(json result) : result_(std::move(result)) {}
  std::vector<int> watchedFds() const override { return {}; }
  std::optional<std::chrono::nanoseconds> pollWithin() const override { return 0ns; }
  std::optional<json> poll() override { return std::move(result_); }

 private:
  json result_;
};

}  // namespace

std::string crashText(int signal) {
  const char* name = ::sigabbrev_np(signal);
  const std::string text = name ? std::string("SIG") + name : "signal " + std::to_string(signal);
  return "Plug-in crashed while scanning (" + text + ")";
}

json withPath(const json& classes, const json& path) {
  json records = classes;
  for (json& record : records) {
    record["path"] = path;
  }
  return records;
}

std::string Scanner::message(const json& classesOrError) {
  const json body = classesOrError.is_array() ? json{{"classes", classesOrError}}
                                              : json{{"error", classesOrError}};
  // Names that are not UTF-8 become U+FFFD here, as they would in the reply.
  return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

/// One scan in its child, from launch to the reply.
class PendingScan final : public PendingCommand {
 public:
  PendingScan(Scanner& scanner, std::unique_ptr<ScanChild> child, json path,
              std::optional<ModuleStamp> stamp)
      : scanner_(scanner),
        child_(std::move(child)),
        path_(std::move(path)),
        stamp_(stamp),
        deadline_(scanner.platform_->now() + Scanner::TIME_LIMIT) {}

  std::vector<int> watchedFds() const override {
    // A pipe at its end stays readable: watching it would only spin.
    std::vector<int> fds;
    if (!messageEnded_) {
      fds.push_back(child_->messageFd());
    }
    if (child_->endFd() >= 0) {
      fds.push_back(child_->endFd());
    }
    return fds;
  }

  std::optional<std::chrono::nanoseconds> pollWithin() const override {
    const auto left =
        std::max<std::chrono::nanoseconds>(deadline_ - scanner_.platform_->now(), 0ns);
    return child_->endFd() >= 0 ? left
                                : std::min<std::chrono::nanoseconds>(left, END_POLL_INTERVAL);
  }

  std::optional<json> poll() override {
    messageEnded_ = child_->readMessage(message_) || messageEnded_;
    const std::optional<ChildEnd> end = child_->reap();
    if (!end) {
      if (scanner_.platform_->now() < deadline_) {
        return std::nullopt;
      }
      child_->kill();
      throw PluginError("Plug-in did not finish scanning within 20 s and was stopped");
    }
    // Whatever it wrote before it ended.
    child_->readMessage(message_);
    if (end->signal != 0) {
      throw PluginError(crashText(end->signal));
    }
    const json body = json::parse(message_, nullptr, false);
    if (end->status == 0 && body.is_object()) {
      if (auto error = body.find("error"); error != body.end() && error->is_string()) {
        throw PluginError(error->get<std::string>());
      }
      if (auto classes = body.find("classes"); classes != body.end() && classes->is_array()) {
        if (stamp_) {
          scanner_.cache_[path_.get<std::string>()] = {*stamp_, *classes};
        }
        return withPath(*classes, path_);
      }
    }
    throw PluginError("Plug-in exited while scanning (status " + std::to_string(end->status) + ")");
  }

 private:
  Scanner& scanner_;
  std::unique_ptr<ScanChild> child_;
  json path_;
  std::optional<ModuleStamp> stamp_;
  std::chrono::steady_clock::time_point deadline_;
  std::string message_;
  bool messageEnded_ = false;
};

Scanner::Scanner(std::unique_ptr<ScanPlatform> platform) : platform_(std::move(platform)) {}

std::unique_ptr<PendingCommand> Scanner::start(const json& request) {
  const json& path = request.at("path");
  const auto text = path.get<std::string>();
  // The stamp is taken before the child loads the module, so a module
  // replaced during the scan is scanned again next time.
  const std::optional<ModuleStamp> stamp = platform_->stamp(text);
  if (stamp) {
    if (auto cached = cache_.find(text); cached != cache_.end() && cached->second.stamp == *stamp) {
      return std::make_unique<DoneScan>(withPath(cached->second.classes, path));
    }
  }
  std::string error;
  std::unique_ptr<ScanChild> child = platform_->launch(text, error);
  if (!child) {
    throw PluginError(error);
  }
  return std::make_unique<PendingScan>(*this, std::move(child), path, stamp);
}

}  // namespace wf::host
