#include "testing/browser.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "testing/http_client.h"
#include "testing/wait_for.h"

namespace wf::testing {

namespace {

using namespace std::chrono_literals;

std::string chromiumBinary() {
  // The launcher script in /usr/bin only adds desktop defaults; the driver
  // wants the browser itself.
  const char* real = "/usr/lib/chromium/chromium";
  return ::access(real, X_OK) == 0 ? real : "/usr/bin/chromium";
}

}  // namespace

std::unique_ptr<Browser> Browser::start(const std::string& profileDir) {
  std::unique_ptr<Browser> b(new Browser());
  for (int attempt = 0; attempt < 3 && b->port_ == 0; ++attempt) {
    const int port = freePort();
    SpawnOptions options;
    options.pipeStdin = false;
    b->driver_ =
        Child::spawn({"chromedriver", "--port=" + std::to_string(port), "--silent"}, options);
    // A driver that exits (its port was taken meanwhile) ends the wait early
    // and is tried again on another port.
    waitFor(
        [&] {
          auto r = httpRequest(port, "GET", "/status", {}, {}, 5s);
          if (r && r->status == 200) {
            b->port_ = port;
            return true;
          }
          return !b->driver_.running();
        },
        30s, "chromedriver to answer /status");
  }
  if (b->port_ == 0) {
    ADD_FAILURE() << "chromedriver did not come up";
    return nullptr;
  }
  // Headless as root needs no sandbox; the rest keeps a browser without a
  // network from busying itself with updates, sync and first-run pages.
  const nlohmann::json args = {
      "--headless=new",
      "--no-sandbox",
      "--disable-gpu",
      "--no-first-run",
      "--disable-sync",
      "--disable-background-networking",
      "--disable-component-update",
      "--user-data-dir=" + profileDir,
  };
  const nlohmann::json capabilities = {
      {"capabilities",
       {{"alwaysMatch",
         {{"goog:chromeOptions", {{"binary", chromiumBinary()}, {"args", args}}}}}}}};
  auto created = b->command("POST", "/session", capabilities);
  if (!created || !created->contains("sessionId")) {
    ADD_FAILURE() << "the browser did not start";
    return nullptr;
  }
  b->session_ = (*created)["sessionId"].get<std::string>();
  b->browserPid_ = created->value("/capabilities/goog:processID"_json_pointer, 0);
  return b;
}

Browser::~Browser() {
  if (!session_.empty()) {
    command("DELETE", "/session/" + session_, nullptr);
  }
  driver_.kill();
  // The driver's child outlives it when the session could not be ended.
  if (browserPid_ > 0 && ::kill(browserPid_, 0) == 0) {
    ::kill(browserPid_, SIGKILL);
  }
}

std::optional<nlohmann::json> Browser::command(const std::string& method, const std::string& path,
                                               const nlohmann::json& body) {
  const std::string text = body.is_null() ? std::string() : body.dump();
  auto r = httpRequest(port_, method, path, text, {{"Content-Type", "application/json"}}, 120s);
  if (!r) {
    ADD_FAILURE() << "chromedriver gave no answer to " << method << " " << path;
    return std::nullopt;
  }
  auto reply = nlohmann::json::parse(r->body, nullptr, false);
  if (r->status != 200 || !reply.is_object()) {
    ADD_FAILURE() << method << " " << path << ": " << r->status << " " << r->body;
    return std::nullopt;
  }
  return reply["value"];
}

bool Browser::open(const std::string& url) {
  return command("POST", "/session/" + session_ + "/url", {{"url", url}}).has_value();
}

std::optional<nlohmann::json> Browser::runAsync(const std::string& script) {
  return command("POST", "/session/" + session_ + "/execute/async",
                 {{"script", script}, {"args", nlohmann::json::array()}});
}

}  // namespace wf::testing
