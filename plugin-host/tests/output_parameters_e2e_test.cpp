// What plug-ins report from their blocks, through the built plugin-host: the
// test meter's output parameter reaching "parameters", and output lists given
// to every block.
#include <gtest/gtest.h>

#include "host_session.h"
#include "testing/wait_for.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

constexpr int LEVEL_ID = 0;

class OutputParametersTest : public ::testing::Test {
 protected:
  void SetUp() override { host.result(loadRequest({insert("meter", METER, 1)})); }

  double level() {
    ++turns;
    for (const auto& record : host.result({{"op", "parameters"}, {"index", 0}})) {
      if (record.at("id") == LEVEL_ID) {
        return record.at("value").get<double>();
      }
    }
    ADD_FAILURE() << "no Level parameter";
    return -1;
  }
  // The meter's component state: blocks that lacked output lists, blocks seen.
  std::pair<int32_t, int32_t> counts() {
    const auto bytes =
        host.result({{"op", "state"}}).at(0).at("state").at("component").get<std::vector<int>>();
    EXPECT_EQ(8u, bytes.size());
    auto at = [&](size_t i) {
      return static_cast<int32_t>(static_cast<uint32_t>(bytes.at(i)) |
                                  static_cast<uint32_t>(bytes.at(i + 1)) << 8 |
                                  static_cast<uint32_t>(bytes.at(i + 2)) << 16 |
                                  static_cast<uint32_t>(bytes.at(i + 3)) << 24);
    };
    return {at(0), at(4)};
  }

  HostSession host;
  int turns = 0;
};

TEST_F(OutputParametersTest, TheMeterValueReachesParametersWithinAFewTurns) {
  // The meter writes 1.0 at the start of each block and its peak at the end:
  // the last value is the one that counts.
  for (float peak : {0.375f, 0.125f}) {
    const std::vector<float> block(2048, peak);
    EXPECT_EQ(block, samplesOf(host.result(processRequest(block))));
    turns = 0;
    EXPECT_TRUE(wf::testing::waitFor([&] { return level() == peak; }, std::chrono::seconds(10),
                                     "the meter's level in \"parameters\""));
    EXPECT_LE(turns, 3) << "peak " << peak;
  }
  // Without new blocks the value stays.
  EXPECT_EQ(0.125, level());
}

TEST_F(OutputParametersTest, NoBlockMissesItsOutputLists) {
  for (int i = 0; i < 20; ++i) {
    host.result(processRequest(ramp(1024, 1 + 1024 * i)));
  }
  // The warm-up block of the load counts as well.
  EXPECT_EQ(std::make_pair(0, 21), counts());
}

}  // namespace
}  // namespace wf::host::testing
