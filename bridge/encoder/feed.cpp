#include "bridge/encoder/feed.h"

#include <algorithm>

#include "bridge/encoder/shared_engine.h"

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
  if (target) {
    // A shared destination takes its stream from its encoding child, which
    // has the whole feed: a chunk meant for it alone (say, a head re-sent
    // for a joining destination) is not needed there.
    auto it = std::find_if(list.begin(), list.end(), [&](auto& p) { return p.id == *target; });
    if (it->shared) {
      if (encoders.shared().failed(*it->shared)) {
        return Error("Destination is not running");
      }
      return {};
    }
  }
  if (!chunk || chunk->empty()) {
    return {};
  }

  std::vector<size_t> failed;
  bool any_shared = false;
  for (size_t i = 0; i < list.size(); ++i) {
    EncoderProcess& p = list[i];
    if (p.shared) {
      any_shared = true;
      continue;
    }
    if (target && p.id != *target) {
      continue;
    }
    if (!p.feed || !p.feed->offer(chunk)) {
      failed.push_back(i);
    }
  }
  // The encoding children of shared mode take every untargeted chunk; one
  // whose input fails leaves with its destinations.
  std::vector<std::shared_ptr<SharedDestination>> dropped;
  if (any_shared && !target) {
    dropped = encoders.shared().feed(chunk);
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].shared &&
          std::find(dropped.begin(), dropped.end(), list[i].shared) != dropped.end()) {
        failed.push_back(i);
      }
    }
    std::sort(failed.begin(), failed.end());
  }

  for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
    EncoderProcess removed = std::move(list[*it]);
    if (*it != list.size() - 1) {
      list[*it] = std::move(list.back());
    }
    list.pop_back();
    kill_and_reap(removed.child);
  }

  if (!dropped.empty()) {
    encoders.shared().discard(dropped);
  }

  if ((target && !failed.empty()) || list.empty()) {
    return Error("all encoder outputs stopped");
  }
  return {};
}

}  // namespace wf::bridge
