#include "bridge/media/flv_tags.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {}  // namespace
}  // namespace wf::bridge
