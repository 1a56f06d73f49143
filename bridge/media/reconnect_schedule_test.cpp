#include "bridge/media/reconnect_schedule.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {}  // namespace
}  // namespace wf::bridge
