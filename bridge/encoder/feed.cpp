#include "bridge/encoder/feed.h"

#include <algorithm>

namespace wf::bridge {

Status write_encoder_chunk_target(EncoderList& encoders, const SharedChunk& chunk,
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
  if (!chunk || chunk->empty()) {
    return {};
  }

  std::vector<size_t> failed;
  for (size_t i = 0; i < list.size(); ++i) {
    EncoderProcess& p = list[i];
    if (target && p.id != *target) {
      continue;
    }
    if (!p.feed || !p.feed->offer(chunk)) {
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
