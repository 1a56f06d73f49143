#include "bridge/media/feed_segments.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {}  // namespace
}  // namespace wf::bridge
