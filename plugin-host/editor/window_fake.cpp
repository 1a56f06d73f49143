#include "editor/window_fake.h"

#include <cstdint>

namespace wf::editor {

namespace {

class FakeWindow final : public Window {
 public:
  explicit FakeWindow(std::shared_ptr<FakeWindowRecord> record) : record_(std::move(record)) {}
  ~FakeWindow() override {
    record_->destroyed = true;
    record_->visible = false;
    record_->calls.push_back("destroy");
  }

  void* nativeHandle() const override { return record_.get(); }
  void setContentSize(int width, int height) override {
    record_->width = width;
    record_->height = height;
    record_->calls.push_back("size " + std::to_string(width) + "x" + std::to_string(height));
  }
  void show() override {
    record_->visible = true;
    ++record_->shows;
    record_->calls.push_back("show");
  }
  void hide() override {
    record_->visible = false;
    ++record_->hides;
    record_->calls.push_back("hide");
  }
  bool isVisible() const override { return record_->visible; }

 private:
  std::shared_ptr<FakeWindowRecord> record_;
};

}  // namespace

std::unique_ptr<Window> FakeDisplay::createWindow(const std::string& title, int width, int height) {
  auto record = std::make_shared<FakeWindowRecord>();
  record->title = title;
  record->width = width;
  record->height = height;
  record->calls.push_back("create");
  windows.push_back(record);
  return std::make_unique<FakeWindow>(record);
}

void FakeDisplay::closeByUser(size_t n) {
  auto& record = *windows.at(n);
  if (!record.destroyed) {
    record.visible = false;
    record.calls.push_back("closed by user");
  }
}

}  // namespace wf::editor
