#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "testing/process.h"

namespace wf::testing {

/// A headless Chromium driven through chromedriver's WebDriver HTTP API, with
/// a fresh profile in `profileDir`. The destructor ends the session, then
/// the driver, and kills the browser should it still run, so a failed test
/// leaves no browser behind.
class Browser {
 public:
  /// Null (with a test failure recorded) when the driver or the browser
  /// does not come up.
  static std::unique_ptr<Browser> start(const std::string& profileDir);
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;
  ~Browser();

  /// Loads `url` in the tab and waits for it to finish loading.
  bool open(const std::string& url);
  /// Runs `script` in the page as an asynchronous script: the page calls
  /// `arguments[arguments.length - 1]` with its result. Returns that
  /// result, or nullopt when the script fails or the driver does not answer.
  std::optional<nlohmann::json> runAsync(const std::string& script);

 private:
  Browser() = default;
  std::optional<nlohmann::json> command(const std::string& method, const std::string& path,
                                        const nlohmann::json& body);

  Child driver_;
  int port_ = 0;
  std::string session_;
  int browserPid_ = 0;
};

}  // namespace wf::testing
