#include "bridge/encoder/feed.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace wf::bridge {

namespace {

// True when every byte went through; the pipe is blocking, so a full pipe
// waits for the child to read.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

Status write_encoder_chunk_target(EncoderList& encoders, std::string_view chunk,
                                  std::optional<std::string_view> target) {
  std::vector<EncoderProcess>& list = encoders.processes();
  if (target) {
    const bool found =
        valid_output_id(*target) &&
        std::any_of(list.begin(), list.end(), [&](auto& p) { return p.id == *target; });
    if (!found) {
      return Error("Destination is not running");
    }
  }
  if (list.empty()) {
    return Error("encoder is not running");
  }
  if (chunk.empty()) {
    return {};
  }

  std::vector<size_t> failed;
  for (size_t i = 0; i < list.size(); ++i) {
    EncoderProcess& p = list[i];
    if (target && p.id != *target) {
      continue;
    }
    if (write_all(p.stdin_pipe.get(), chunk)) {
      p.bytes_received += chunk.size();
    } else {
      failed.push_back(i);
    }
  }

  for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
    EncoderProcess removed = std::move(list[*it]);
    if (*it != list.size() - 1) {
      list[*it] = std::move(list.back());
    }
    list.pop_back();
    if (removed.child) {
      removed.child->kill();
      removed.child->wait();
    }
  }

  if ((target && !failed.empty()) || list.empty()) {
    return Error("all encoder outputs stopped");
  }
  return {};
}

}  // namespace wf::bridge
