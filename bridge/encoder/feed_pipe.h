#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "bridge/encoder/child.h"
#include "bridge/http/error.h"

namespace wf::bridge {

/// The write end of one encoder child's input, as its feed writer uses it:
/// writes that never block, a wait for room that another thread can cut
/// short, and a look at whether the reader is still there. One thread
/// writes and waits; `wake` and `broken` may be called from any thread.
class FeedPipe {
 public:
  virtual ~FeedPipe() = default;

  /// Writes a prefix of `bytes` without blocking: how many bytes went in
  /// (0 when the pipe is full), or an error once the reader has gone.
  virtual Result<size_t> write_some(std::string_view bytes) = 0;
  /// Blocks until `wake` is called or, when `for_room`, until the pipe can
  /// take bytes again (or has lost its reader). A wake that came before the
  /// wait ends it at once.
  virtual void wait(bool for_room) = 0;
  /// Ends the writer's current or next wait.
  virtual void wake() = 0;
  /// True when the reader has gone, so that any write would fail.
  virtual bool broken() = 0;
  /// Closes the write end, which gives the reader end of input. Not called
  /// while a write or wait is under way.
  virtual void close() = 0;
};

/// The feed pipe over the write end of a real pipe, which it makes
/// non-blocking and owns. Fails with the system's reason.
Result<std::unique_ptr<FeedPipe>> make_feed_pipe(UniqueFd write_end);

}  // namespace wf::bridge
