#include "bridge/media/progress.h"

#include <gtest/gtest.h>

namespace wf::bridge {
namespace {}  // namespace
}  // namespace wf::bridge
