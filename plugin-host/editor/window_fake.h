#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "editor/window.h"

namespace wf::editor {

/// What a fake window has been asked to do, for tests to inspect. It outlives
/// the window, so a test can also see that the window was destroyed.
struct FakeWindowRecord {
  std::string title;
  int width = 0;
  int height = 0;
  bool visible = false;
  bool destroyed = false;
  int shows = 0;
  int hides = 0;
  /// Every call in order: "create", "size WxH", "show", "hide", "destroy".
  std::vector<std::string> calls;
};

/// A display without a window system. Windows record what is asked of them;
/// `closeByUser` plays the window manager's close request.
class FakeDisplay final : public Display {
 public:
  std::unique_ptr<Window> createWindow(const std::string& title, int width, int height) override;
  void dispatchPending() override { ++dispatches; }
  int eventFd() const override { return fd; }
  bool connected() const override { return !lost; }
  const char* platformType() const override { return platform.c_str(); }

  /// Delivers a close request from the user to window n (creation order).
  void closeByUser(size_t n);

  std::vector<std::shared_ptr<FakeWindowRecord>> windows;
  int dispatches = 0;
  /// What eventFd reports.
  int fd = -1;
  /// What platformType reports.
  std::string platform = "X11EmbedWindowID";
  /// Plays the window system going away.
  bool lost = false;
};

}  // namespace wf::editor
