// The examples of docs/plugin-host.md, run against the built plugin-host and
// the test bundles: every documented reply must be the host's reply, byte for
// byte, once the bundles' folder stands where the text shows /usr/lib/vst3/.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "doc_examples.h"
#include "testing/process.h"

namespace wf::host::testing {
namespace {

using namespace std::chrono_literals;

const std::string DOCUMENTED_FOLDER = "/usr/lib/vst3/";

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string local(const std::string& line) {
  return replaceAll(line, DOCUMENTED_FOLDER, std::string(WF_TEST_PLUGIN_DIR) + "/");
}

TEST(DocExamples, ParserTakesRequestsRepliesAndRepeats) {
  const ExampleParse parse = parseExamples(
      "text\n```json\n> not an example\n```\n"
      "```plugin-host\n"
      "> {\"id\":1,\"pcm\":[<3 x 0.5>]}\n"
      "< {\"id\":1,\"result\":[<2 x 1>,<1 x -2>]}\n"
      ">  \n"
      "```\n");
  ASSERT_EQ("", parse.error);
  ASSERT_EQ(1u, parse.blocks.size());
  EXPECT_EQ(5, parse.blocks[0].line);
  ASSERT_EQ(2u, parse.blocks[0].steps.size());
  EXPECT_EQ("{\"id\":1,\"pcm\":[0.5,0.5,0.5]}", parse.blocks[0].steps[0].request);
  EXPECT_EQ(std::vector<std::string>{"{\"id\":1,\"result\":[1,1,-2]}"},
            parse.blocks[0].steps[0].replies);
  EXPECT_EQ(" ", parse.blocks[0].steps[1].request);
  EXPECT_TRUE(parse.blocks[0].steps[1].replies.empty());
}

TEST(DocExamples, ParserRefusesWhatItCannotRun) {
  const std::pair<const char*, const char*> cases[] = {
      {"```plugin-host\n< {}\n```\n", "line 2: a reply before any request"},
      {"```plugin-host\n> {}\nplain\n```\n",
       "line 3: an example line starts with \"> \" or \"< \""},
      {"```plugin-host\n```\n", "line 2: an example block without a request"},
      {"```plugin-host\n> {}\n", "line 2: the example block that starts on line 1 is not closed"},
      {"```plugin-host session\n```\n", "line 1: an example fence takes no other words"},
  };
  for (const auto& [text, error] : cases) {
    const ExampleParse parse = parseExamples(text);
    EXPECT_EQ(error, parse.error) << text;
    EXPECT_TRUE(parse.blocks.empty()) << text;
  }
}

TEST(DocExamples, EveryDocumentedReplyIsTheHostsReply) {
  const std::string doc = std::string(WF_DOCS_DIR) + "/plugin-host.md";
  const ExampleParse parse = parseExamples(readText(doc));
  ASSERT_EQ("", parse.error) << doc;

  // The reference shows every operation at least once.
  std::set<std::string> shown;
  for (const ExampleBlock& block : parse.blocks) {
    for (const ExampleStep& step : block.steps) {
      auto request = nlohmann::json::parse(step.request, nullptr, false);
      if (request.is_object() && request.contains("op") && request["op"].is_string()) {
        shown.insert(request["op"].get<std::string>());
      }
    }
  }
  for (const char* op : {"scan", "load", "process", "state", "parameters", "parameter", "bypass",
                         "editor", "editor-dock"}) {
    EXPECT_TRUE(shown.count(op)) << "docs/plugin-host.md has no example of \"" << op << "\"";
  }

  for (const ExampleBlock& block : parse.blocks) {
    SCOPED_TRACE("docs/plugin-host.md:" + std::to_string(block.line));
    // Without a display every editor request has the same documented answer.
    wf::testing::SpawnOptions options;
    options.unsetEnv = {"DISPLAY"};
    auto host = wf::testing::Child::spawn({wf::testing::binPath("plugin-host")}, options);
    for (const ExampleStep& step : block.steps) {
      ASSERT_TRUE(host.writeStdin(local(step.request) + "\n"));
      for (const std::string& expected : step.replies) {
        auto reply = host.readLine(60s);
        ASSERT_TRUE(reply) << "no reply to " << step.request.substr(0, 200)
                           << "; stderr: " << host.drainStderr();
        EXPECT_EQ(local(expected), *reply) << "request: " << step.request.substr(0, 200);
      }
    }
    // Nothing undocumented follows: the host answers what is queued and ends.
    host.closeStdin();
    auto extra = host.readLine(60s);
    EXPECT_FALSE(extra) << "undocumented reply: " << extra->substr(0, 200);
    auto status = host.wait(60s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(0, status->code);
  }
}

}  // namespace
}  // namespace wf::host::testing
