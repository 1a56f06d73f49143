#include "scan/scan_child_fake.h"

namespace wf::host {

namespace {

class FakeScanChild final : public ScanChild {
 public:
  FakeScanChild(std::shared_ptr<FakeChildScript> script, std::vector<std::string>& log,
                std::string path)
      : script_(std::move(script)), log_(log), path_(std::move(path)) {}

  int messageFd() const override { return 40; }
  int endFd() const override { return 41; }
  bool readMessage(std::string& message) override {
    message += script_->message.substr(read_);
    read_ = script_->message.size();
    return script_->closed;
  }
  std::optional<ChildEnd> reap() override { return script_->end; }
  void kill() override {
    log_.push_back("kill " + path_);
    script_->killed = true;
    script_->end = ChildEnd{9, 0};
  }

 private:
  std::shared_ptr<FakeChildScript> script_;
  std::vector<std::string>& log_;
  std::string path_;
  size_t read_ = 0;
};

}  // namespace

std::unique_ptr<ScanChild> FakeScanPlatform::launch(const std::string& path, std::string& error) {
  log.push_back("launch " + path);
  auto script = scripts.find(path);
  if (script == scripts.end()) {
    error = launchError;
    return nullptr;
  }
  return std::make_unique<FakeScanChild>(script->second, log, path);
}

std::optional<ModuleStamp> FakeScanPlatform::stamp(const std::string& path) {
  auto found = stamps.find(path);
  if (found == stamps.end()) {
    return std::nullopt;
  }
  return found->second;
}

}  // namespace wf::host
