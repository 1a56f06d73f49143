#include "hosting/parameter_changes.h"

#include <gtest/gtest.h>

namespace wf::hosting {
namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

std::vector<std::pair<int32, double>> pointsOf(IParamValueQueue& queue) {
  std::vector<std::pair<int32, double>> points;
  for (int32 i = 0; i < queue.getPointCount(); ++i) {
    int32 offset = 0;
    ParamValue value = 0;
    queue.getPoint(i, offset, value);
    points.emplace_back(offset, value);
  }
  return points;
}

TEST(ParameterValueQueue, ALaterPointAtTheSameOffsetReplacesTheEarlier) {
  ParameterValueQueue queue(5);
  int32 index = -1;
  queue.addPoint(10, 0.1, index);
  queue.addPoint(0, 0.2, index);
  queue.addPoint(10, 0.3, index);
  EXPECT_EQ(1, index);
  EXPECT_EQ((std::vector<std::pair<int32, double>>{{0, 0.2}, {10, 0.3}}), pointsOf(queue));
  int32 offset = 0;
  ParamValue value = 0;
  EXPECT_EQ(kResultFalse, queue.getPoint(2, offset, value));
}

TEST(ParameterChanges, OneQueuePerParameterAndMoreWhenTheAdvanceRunsOut) {
  ParameterChanges changes(2);
  changes.addPoint(9, 0, 0.5);
  changes.addPoint(3, 4, 0.25);
  changes.addPoint(9, 0, 0.75);
  changes.addPoint(1, 0, 1.0);
  ASSERT_EQ(3, changes.getParameterCount());
  EXPECT_EQ(9u, changes.getParameterData(0)->getParameterId());
  EXPECT_EQ((std::vector<std::pair<int32, double>>{{0, 0.75}}),
            pointsOf(*changes.getParameterData(0)));
  EXPECT_EQ(1u, changes.getParameterData(2)->getParameterId());
  EXPECT_EQ(nullptr, changes.getParameterData(3));

  changes.clearQueue();
  EXPECT_EQ(0, changes.getParameterCount());
  changes.addPoint(4, 0, 0.5);
  ASSERT_EQ(1, changes.getParameterCount());
  EXPECT_EQ(1, changes.getParameterData(0)->getPointCount());
}

}  // namespace
}  // namespace wf::hosting
