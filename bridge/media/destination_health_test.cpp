#include "bridge/media/destination_health.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {}  // namespace
}  // namespace wf::bridge
