#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/process.h"

namespace wf::host::testing {

/// A running plugin-host with pipes to its standard streams.
class HostSession {
 public:
  HostSession();

  /// Writes the text and a line feed.
  void sendLine(const std::string& line);
  /// Writes the request as one line.
  void send(const nlohmann::json& request) { sendLine(request.dump()); }
  /// The next reply line as text; fails the test on time-out or end of output.
  std::string readLine();
  /// The next reply, parsed.
  nlohmann::json read();
  /// Sends the request and returns the next reply (the main thread answers
  /// commands in order; "process" replies come from the audio worker, so use
  /// this only when no other request is outstanding).
  nlohmann::json call(const nlohmann::json& request);
  /// call() that expects a "result" and returns it.
  nlohmann::json result(const nlohmann::json& request);
  /// call() that expects an "error" and returns its text.
  std::string error(const nlohmann::json& request);

  /// Closes standard input and waits for the exit.
  wf::testing::ExitStatus finish();
  wf::testing::Child& child() { return child_; }

 private:
  wf::testing::Child child_;
  int nextId_ = 1;
};

/// Path of a test plug-in bundle.
std::string bundle(const std::string& name);
/// Class ID of a test plug-in class: 5746000M00000000000000000000000C.
std::string classId(int module, int cls);
/// An insert descriptor for a test plug-in class.
nlohmann::json insert(const std::string& bundleName, int module, int cls,
                      const nlohmann::json& extra = nlohmann::json::object());
/// State bytes holding one little-endian int32 or float.
nlohmann::json int32State(int32_t value);
nlohmann::json floatState(float value);

/// A "load" request whose "plugins" is the given value.
nlohmann::json loadRequest(const nlohmann::json& plugins);
/// A "load" request whose "plugins" is an array of the descriptors (also for
/// one descriptor, which a braced json would take as the object itself).
nlohmann::json loadRequest(std::initializer_list<nlohmann::json> descriptors);
/// A "process" request for interleaved samples.
nlohmann::json processRequest(const std::vector<float>& pcm,
                              const nlohmann::json& extra = nlohmann::json::object());
/// Interleaved stereo test signal: left = start + k, right = -(start + k),
/// scaled by 1/4096, for `frames` frames.
std::vector<float> ramp(int frames, int start = 1);
/// The samples of a "process" result as floats.
std::vector<float> samplesOf(const nlohmann::json& result);

// Module numbers and classes of the test plug-ins.
constexpr int GAIN = 1;
constexpr int LATENCY = 2;
constexpr int INSTRUMENT = 3;
constexpr int MULTI = 4;
constexpr int FAULTS = 5;
constexpr int SIDECHAIN = 6;
constexpr int METER = 7;
constexpr int MONO = 8;
constexpr int ANNOUNCER = 9;

}  // namespace wf::host::testing
