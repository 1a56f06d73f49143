#include "host_session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace wf::host::testing {

using nlohmann::json;

namespace {
constexpr auto REPLY_TIMEOUT = std::chrono::seconds(60);
}

HostSession::HostSession()
    : child_(wf::testing::Child::spawn({wf::testing::binPath("plugin-host")})) {}

void HostSession::sendLine(const std::string& line) {
  ASSERT_TRUE(child_.writeStdin(line + "\n"));
}

std::string HostSession::readLine() {
  auto line = child_.readLine(REPLY_TIMEOUT);
  if (!line) {
    ADD_FAILURE() << "no reply; stderr: " << child_.drainStderr();
    return "{}";
  }
  return *line;
}

json HostSession::read() {
  return json::parse(readLine());
}

json HostSession::call(const json& request) {
  json withId = request;
  if (!withId.contains("id")) {
    withId["id"] = nextId_++;
  }
  send(withId);
  json reply = read();
  EXPECT_EQ(withId["id"], reply.value("id", json())) << reply.dump();
  return reply;
}

json HostSession::result(const json& request) {
  json reply = call(request);
  EXPECT_TRUE(reply.contains("result")) << request.value("op", "") << ": " << reply.dump();
  return reply.value("result", json());
}

std::string HostSession::error(const json& request) {
  json reply = call(request);
  EXPECT_TRUE(reply.contains("error"))
      << request.value("op", "") << ": " << reply.dump().substr(0, 200);
  return reply.value("error", "");
}

wf::testing::ExitStatus HostSession::finish() {
  child_.closeStdin();
  auto status = child_.wait(std::chrono::seconds(60));
  if (!status) {
    ADD_FAILURE() << "plugin-host did not end";
    return {};
  }
  return *status;
}

std::string bundle(const std::string& name) {
  return std::string(WF_TEST_PLUGIN_DIR) + "/" + name + ".vst3";
}

std::string classId(int module, int cls) {
  char text[33];
  std::snprintf(text, sizeof text, "5746%04X0000000000000000%08X", module, cls);
  return text;
}

json insert(const std::string& bundleName, int module, int cls, const json& extra) {
  json descriptor = {{"path", bundle(bundleName)}, {"classId", classId(module, cls)}};
  descriptor.update(extra);
  return descriptor;
}

json int32State(int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  return {{"component", {bits & 0xFF, (bits >> 8) & 0xFF, (bits >> 16) & 0xFF, bits >> 24}}};
}

json floatState(float value) {
  int32_t bits = 0;
  std::memcpy(&bits, &value, 4);
  return int32State(bits);
}

json loadRequest(const json& plugins) {
  return {{"op", "load"}, {"plugins", plugins}};
}

json loadRequest(std::initializer_list<json> descriptors) {
  json plugins = json::array();
  for (const json& descriptor : descriptors) {
    plugins.push_back(descriptor);
  }
  return loadRequest(plugins);
}

json processRequest(const std::vector<float>& pcm, const json& extra) {
  json request = {{"op", "process"}, {"pcm", pcm}};
  request.update(extra);
  return request;
}

std::vector<float> ramp(int frames, int start) {
  std::vector<float> pcm;
  for (int k = 0; k < frames; ++k) {
    const float v = static_cast<float>(start + k) / 4096.0f;
    pcm.push_back(v);
    pcm.push_back(-v);
  }
  return pcm;
}

std::vector<float> samplesOf(const json& result) {
  std::vector<float> samples;
  for (const json& v : result) {
    samples.push_back(static_cast<float>(v.get<double>()));
  }
  return samples;
}

}  // namespace wf::host::testing
