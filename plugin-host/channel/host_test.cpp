#include "channel/host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <vector>

namespace wf::host {
namespace {

using nlohmann::json;

class CountingPump final : public EventPump {
 public:
  void pump(std::chrono::microseconds maxWait) override {
    EXPECT_LE(maxWait, std::chrono::milliseconds(1));
    turns.fetch_add(1);
  }
  std::atomic<int> turns{0};
};

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
}

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

TEST(Host, PumpsEveryTurnHandlesOneCommandPerTurnAndEndsAfterItsInput) {
  int in[2];
  int out[2];
  ASSERT_EQ(0, pipe(in));
  ASSERT_EQ(0, pipe(out));

  auto pump = std::make_unique<CountingPump>();
  CountingPump* counter = pump.get();
  std::vector<int> turnsAtCall;
  Registry registry;
  registry.addChainOperation("echo", [&](const json& request, HostState&) {
    turnsAtCall.push_back(counter->turns.load());
    return request.at("value");
  });

  std::string input;
  for (int i = 0; i < 5; ++i) {
    input +=
        R"({"id":)" + std::to_string(i) + R"(,"op":"echo","value":)" + std::to_string(i) + "}\n\n";
  }
  input += json{{"id", "p"}, {"op", "process"}, {"pcm", std::vector<float>(2048, 0.0f)}}.dump();
  input += "\n";
  writeAll(in[1], input);
  close(in[1]);

  Host host(registry, std::move(pump), in[0], out[1]);
  host.run();
  close(out[1]);
  close(in[0]);

  std::istringstream lines(readAll(out[0]));
  close(out[0]);
  std::vector<json> echoes;
  json block;
  for (std::string line; std::getline(lines, line);) {
    json reply = json::parse(line);
    (reply.at("id") == "p" ? block : echoes.emplace_back()) = reply;
  }
  ASSERT_EQ(5u, echoes.size());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ((json{{"id", i}, {"result", i}}), echoes[i]);
  }
  // The process line reached the audio worker, which may or may not have
  // answered it before the end of input stopped it.
  if (!block.is_null()) {
    EXPECT_EQ(2048u, block.at("result").size());
  }
  ASSERT_EQ(5u, turnsAtCall.size());
  for (size_t i = 1; i < turnsAtCall.size(); ++i) {
    EXPECT_LT(turnsAtCall[i - 1], turnsAtCall[i]) << "two commands in one turn";
  }
}

}  // namespace
}  // namespace wf::host
