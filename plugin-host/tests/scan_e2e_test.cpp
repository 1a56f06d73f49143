// "scan" through the built plugin-host against the test bundles.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

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

// A module that crashes, exits or hangs while being scanned costs only its
// scan: the chain keeps processing meanwhile, and the host scans and loads
// a good module afterwards.
TEST(Scan, AModuleThatCrashesExitsOrHangsCostsOnlyItsScan) {
  HostSession host;
  host.result(loadRequest({insert("gain", GAIN, 1, {{"state", floatState(0.25f)}})}));
  struct Case {
    std::string bundle;
    std::string error;
  };
  const Case cases[] = {
      {"scan_crash", "Plug-in crashed while scanning (SIGSEGV)"},
      // exit(3); a sanitizer build may report its own status instead.
      {"scan_exit", "Plug-in exited while scanning (status "},
      {"scan_hang", "Plug-in did not finish scanning within 20 s and was stopped"},
  };
  for (const Case& c : cases) {
    host.send({{"id", c.bundle}, {"op", "scan"}, {"path", bundle(c.bundle)}});
    // Blocks sent while the scan runs come back processed, in turn.
    for (int i = 0; i < 20; ++i) {
      json block = processRequest(std::vector<float>(2048, 0.5f));
      block["id"] = i;
      host.send(block);
    }
    json scanReply;
    int blocks = 0;
    while (scanReply.is_null() || blocks < 20) {
      const json reply = host.read();
      if (reply.value("id", json()) == c.bundle) {
        scanReply = reply;
        continue;
      }
      ASSERT_TRUE(reply.contains("result")) << reply.dump().substr(0, 200);
      EXPECT_EQ(std::vector<float>(2048, 0.25f), samplesOf(reply.at("result"))) << c.bundle;
      ++blocks;
    }
    ASSERT_TRUE(scanReply.contains("error")) << scanReply.dump();
    EXPECT_EQ(0u, scanReply.at("error").get<std::string>().find(c.error)) << scanReply.at("error");
  }
  EXPECT_EQ(classId(GAIN, 1),
            host.result({{"op", "scan"}, {"path", bundle("gain")}})[0].at("classId"));
  EXPECT_EQ(0, host.result(loadRequest({insert("gain", GAIN, 1)})).at("latency"));
}

// Commands sent behind a scan wait their turn, and are answered in order.
TEST(Scan, CommandsBehindAScanWaitTheirTurn) {
  HostSession host;
  host.send({{"id", "hang"}, {"op", "scan"}, {"path", bundle("scan_hang")}});
  host.send({{"id", "after"}, {"op", "state"}});
  EXPECT_EQ("hang", host.read().at("id"));
  EXPECT_EQ((json{{"id", "after"}, {"result", json::array()}}), host.read());
}

// A module replaced at the same path is scanned again, not answered from
// what was remembered of the old one.
TEST(Scan, AReplacedModuleIsScannedAgain) {
  HostSession host;
  wf::testing::TempDir dir;
  const std::string path = dir.path() + "/swap.vst3";
  const std::string library = path + "/Contents/x86_64-linux/swap.so";
  ASSERT_EQ(0, std::system(("mkdir -p " + path + "/Contents/x86_64-linux").c_str()));
  auto install = [&](const std::string& from) {
    const std::string source = bundle(from) + "/Contents/x86_64-linux/" + from + ".so";
    // A new file, as a package upgrade puts it in place.
    ASSERT_EQ(0, std::system(
                     ("cp " + source + " " + library + ".new && mv " + library + ".new " + library)
                         .c_str()));
  };
  install("gain");
  for (int i = 0; i < 2; ++i) {
    const json classes = host.result({{"op", "scan"}, {"path", path}});
    ASSERT_EQ(1u, classes.size());
    EXPECT_EQ(classId(GAIN, 1), classes[0].at("classId"));
  }
  install("multi");
  EXPECT_EQ(4u, host.result({{"op", "scan"}, {"path", path}}).size());
}

}  // namespace
}  // namespace wf::host::testing
