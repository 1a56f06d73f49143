#pragma once

// A bridge started for one encoder test: its own temporary directory (the
// encoders' TMPDIR), a free loopback port, and helpers for the encoder routes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/http_client.h"
#include "testing/process.h"
#include "testing/temp_dir.h"
#include "testing/wait_for.h"

namespace wf::encoder_test {

using namespace std::chrono_literals;
using Env = std::vector<std::pair<std::string, std::string>>;

struct Reply {
  int status = 0;
  std::string body;
  nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

class EncoderBridge {
 public:
  /// Starts the bridge with TMPDIR set to `tmpdir` and the extra `env`;
  /// null when it could not start.
  static std::unique_ptr<EncoderBridge> start(const std::string& tmpdir, Env env) {
    env.emplace_back("TMPDIR", tmpdir);
    for (int attempt = 0; attempt < 5; ++attempt) {
      auto b = std::make_unique<EncoderBridge>();
      b->port = testing::freePort();
      testing::SpawnOptions options;
      options.env = env;
      options.pipeStdin = false;
      b->child = testing::Child::spawn(
          {testing::binPath("audio-bridge"), "--port", std::to_string(b->port)}, options);
      if (b->child.readLine(30s)) {
        return b;
      }
    }
    return nullptr;
  }

  Reply request(const std::string& method, const std::string& path, const std::string& body = {},
                const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    auto r = testing::httpRequest(port, method, path, body, headers, 60s);
    EXPECT_TRUE(r) << method << " " << path;
    return r ? Reply{r->status, r->body} : Reply{};
  }
  Reply post(const std::string& path, const std::string& body = {},
             const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    return request("POST", path, body, headers);
  }
  nlohmann::json status() { return request("GET", "/encoder/status").json(); }
  nlohmann::json outputs() { return status()["outputs"]; }

  /// Polls the status until `done` holds for it (at most `limit`).
  bool wait_status(const std::function<bool(const nlohmann::json&)>& done,
                   std::chrono::milliseconds limit = 20s) {
    return testing::waitFor([&] { return done(status()); }, limit, "an encoder status");
  }

  testing::Child child;
  int port = 0;
};

/// Waits until `path` exists (at most `limit`).
inline bool wait_file(const std::string& path, std::chrono::milliseconds limit = 20s) {
  return testing::waitFor([&] { return ::access(path.c_str(), F_OK) == 0; }, limit, path);
}

}  // namespace wf::encoder_test
