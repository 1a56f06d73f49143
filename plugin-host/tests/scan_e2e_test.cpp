// "scan" through the built plugin-host against the test bundles.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host_session.h"
#include "testing/temp_dir.h"

namespace wf::host::testing {
namespace {

using nlohmann::json;

TEST(Scan, ListsAudioClassesInFactoryOrderWithTheInstrumentTest) {
  HostSession host;
  const std::string path = bundle("multi");
  const json classes = host.result({{"op", "scan"}, {"path", path}});
  const json expected = {
      {{"classId", classId(MULTI, 1)},
       {"instrument", false},
       {"name", "Multi Effect"},
       {"path", path},
       {"vendor", "Wrenfield Tests"}},
      {{"classId", classId(MULTI, 2)},
       {"instrument", true},
       {"name", "Multi Synth"},
       {"path", path},
       {"vendor", "Wrenfield Tests"}},
      {{"classId", classId(MULTI, 4)},
       {"instrument", false},
       {"name", "Multi Lower"},
       {"path", path},
       {"vendor", ""}},
      // Latin-1 bytes are not UTF-8: the reply carries U+FFFD in their place.
      {{"classId", classId(MULTI, 5)},
       {"instrument", false},
       {"name", "Caf\uFFFD"},
       {"path", path},
       {"vendor", "M\uFFFDller"}},
  };
  EXPECT_EQ(expected, classes);
}

TEST(Scan, ReportsTheLoaderReason) {
  HostSession host;
  wf::testing::TempDir dir;
  const std::string text = dir.write("plain.vst3", "not a module");
  const std::string empty = dir.path() + "/Empty.vst3";
  ASSERT_EQ(0, ::mkdir(empty.c_str(), 0755));
  const std::string noEntry = bundle("noentry") + "/Contents/x86_64-linux/noentry.so";
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {dir.path() + "/missing.vst3", "VST3 module not found: " + dir.path() + "/missing.vst3"},
      {empty,
       "VST3 bundle has no library for x86_64-linux: " + empty + "/Contents/x86_64-linux/Empty.so"},
      {bundle("noentry"), "VST3 module does not export GetPluginFactory: " + noEntry},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error, host.error({{"op", "scan"}, {"path", c.path}})) << c.path;
  }
  EXPECT_EQ(0u, host.error({{"op", "scan"}, {"path", text}}).find("Could not load VST3 module: "));
  EXPECT_EQ("[json.exception.type_error.302] type must be string, but is number",
            host.error({{"op", "scan"}, {"path", 5}}));
  EXPECT_EQ("[json.exception.out_of_range.403] key 'path' not found", host.error({{"op", "scan"}}));
}

TEST(Scan, ScanningALoadedModuleLeavesTheInsertRunning) {
  HostSession host;
  host.result(loadRequest({insert("gain", GAIN, 1, {{"state", floatState(0.25f)}})}));
  const json classes = host.result({{"op", "scan"}, {"path", bundle("gain") + "/"}});
  ASSERT_EQ(1u, classes.size());
  EXPECT_EQ(classId(GAIN, 1), classes[0].at("classId"));
  EXPECT_EQ(bundle("gain") + "/", classes[0].at("path"));
  const auto out = samplesOf(host.result(processRequest(std::vector<float>(2048, 0.5f))));
  EXPECT_EQ(std::vector<float>(2048, 0.25f), out);
}

}  // namespace
}  // namespace wf::host::testing
