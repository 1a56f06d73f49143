#include "bridge/media/feed_segments.h"

namespace wf::bridge {

FeedSegmenter::FeedSegmenter(FeedContainer container) : container_(container) {}

Status FeedSegmenter::push(std::string_view chunk, std::vector<FeedEvent>&) {
  position_ += chunk.size();
  return {};
}

std::vector<SharedBytes> FeedJoin::admit(const SharedBytes& chunk, uint64_t,
                                         const std::vector<FeedEvent>&, const std::string&) {
  joined_ = true;
  return {chunk};
}

}  // namespace wf::bridge
