#pragma once

#include <mutex>
#include <set>
#include <utility>

namespace wf::editor {

/// Which window-system errors are worth a line on standard error. A plug-in
/// that trips the same harmless error on every event (a window-manager atom
/// on a display without a window manager, say) would otherwise flood it: the
/// first error of each kind, an error code with a request type, gets its
/// line, and later ones of that kind none. Safe from any thread.
class ErrorLines {
 public:
  /// True the first time this error code and request type are seen.
  bool firstOfItsKind(int errorCode, int requestCode) {
    std::lock_guard<std::mutex> hold(lock_);
    return seen_.insert({errorCode, requestCode}).second;
  }

 private:
  std::mutex lock_;
  std::set<std::pair<int, int>> seen_;
};

}  // namespace wf::editor
