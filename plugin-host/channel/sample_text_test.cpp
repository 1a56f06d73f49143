#include "channel/sample_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "channel/envelope.h"

namespace wf::host {
namespace {

using nlohmann::json;

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Every line must come out of routing exactly as the whole-line parser reads
// it: the same route, error text, members and float samples. `quick` says
// whether the samples are expected to be read straight from the text.
TEST(SampleText, RoutingAgreesWithTheParser) {
  struct Case {
    std::string line;
    bool quick;
  };
  const Case cases[] = {
      {R"({"id":1,"op":"process","pcm":[0.5,-0.25,1e-3,-0,0,-0.0,1E2,2e+2,3e-2,0.1]})", true},
      {R"({"id":1,"op":"process","pcm":[9007199254740993,-9223372036854775808,)"
       R"(18446744073709551615,18446744073709551616,-9223372036854775809,16777217,1152921573326323713,)"
       R"(-1152921573326323713]})",
       true},
      {R"({"id":1,"op":"process","pcm":[3.5e39,-1e300,1e-45,123456789012345678901234567890]})",
       true},
      {" { \"pcm\" : [ 1 ,\t2 ] , \"op\" : \"process\" , \"id\" : 2 } \r", true},
      {R"({"op":"process","id":1,"pcm":[]})", true},
      {R"({"op":"process","id":1,"x":{"pcm":[5]},"y":[{"pcm":7}],"pcm":[1]})", true},
      {R"({"op":"process","id":"\"pcm\":[9]","pcm":[1],"events":[{"a":"]}"}]})", true},
      {R"({"op":"process","id":{"pcm":[3]},"pcm":[1],"instrument":true})", true},
      // Left to the parser: numbers it reads specially, other element kinds,
      // names it would read differently, and every kind of fault.
      {R"({"op":"process","id":1,"pcm":[1e-400]})", false},
      {R"({"op":"process","id":1,"pcm":[1e400]})", false},
      {R"({"op":"process","id":1,"pcm":[true,1]})", false},
      {R"({"op":"process","id":1,"pcm":[1,"2"]})", false},
      {R"({"op":"process","id":1,"pcm":[[1]]})", false},
      {R"({"op":"process","id":1,"pcm":1})", false},
      {R"({"op":"process","p\u0063m":[1],"id":1})", false},
      {R"({"op":"process","pcm":[1],"pcm":[2],"id":1})", false},
      {R"({"op":"process","pcm":[01],"id":1})", false},
      {R"({"op":"process","pcm":[1.],"id":1})", false},
      {R"({"op":"process","pcm":[.5],"id":1})", false},
      {R"({"op":"process","pcm":[+1],"id":1})", false},
      {R"({"op":"process","pcm":[1e],"id":1})", false},
      {R"({"op":"process","pcm":[-],"id":1})", false},
      {R"({"op":"process","pcm":[1,],"id":1})", false},
      {R"({"op":"process","pcm":[,1],"id":1})", false},
      {R"({"op":"process","pcm":[1 2],"id":1})", false},
      {R"({"op":"process","pcm":[NaN],"id":1})", false},
      {R"({"op":"process","pcm":[1)", false},
      {R"({"op":"process","pcm":[1],"id":})", false},
      {R"({"op":"process","pcm":[1],"id":1} x)", false},
      // Text right after the array that would continue a number in its place.
      {R"({"op":"process","id":1,"pcm":[1].5})", false},
      {R"({"op":"process","id":1,"pcm":[1]e5})", false},
      {R"({"op":"process","id":1,"pcm":[0.5,2]E-3,"x":0})", false},
      {R"({"id":1,"op":"process","pcm":[8.5,-0.25,1e-3,-0,0,-0.0,12,2e+23,25,0].1})", false},
      {R"({"op":"process","id":1,"pcm":[1]0})", false},
      {R"({"op":"process","pcm":[1],"id":1}})", false},
      {R"({"op":"process","pcm":[1],"id":"a)", false},
      {"{\"op\":\"process\",\"pcm\":[1],\"id\":\"\xff\"}", false},
      {"{\"op\":\"process\",\"pcm\":[1],\"id\":\"\x01\"}", false},
      {R"({"op":"scan","pcm":[1],"id":1})", false},
      {R"([{"op":"process","pcm":[1],"id":1}])", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    QueuedLine routed;
    const Route route = routeLine(c.line, routed);
    EXPECT_EQ(c.quick, routed.samples.has_value());

    json whole;
    std::optional<std::string> error;
    try {
      whole = json::parse(c.line);
    } catch (const json::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, routed.parseError);
    if (error) {
      EXPECT_EQ(Route::Command, route);
      continue;
    }
    const bool process = whole.is_object() && whole.value("op", json()) == "process";
    EXPECT_EQ(process ? Route::Process : Route::Command, route);
    if (!routed.samples) {
      EXPECT_EQ(whole, routed.value);
      continue;
    }
    EXPECT_TRUE(sameBits(whole.at("pcm").get<std::vector<float>>(), *routed.samples));
    whole.erase("pcm");
    EXPECT_EQ(whole, routed.value);
  }
}

std::string serialised(const std::vector<float>& samples) {
  json values = json::array();
  for (float s : samples) {
    values.push_back(static_cast<double>(s));
  }
  return values.dump();
}

TEST(SampleText, WritesNumbersAsTheSerialiserLaysThemOut) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> samples = {
      0.0f,   -0.0f,  1.0f,       -1.0f,     0.5f,
      100.0f, 1e15f,  1e16f,      123456.0f, 1e-4f,
      1e-5f,  0.001f, 3.4e38f,    -1e-45f,   1.5e-7f,
      0.1f,   -0.75f, 8388608.0f, 1e20f,     std::numeric_limits<float>::quiet_NaN(),
      inf,    -inf};
  std::string text;
  appendSamples(text, samples);
  EXPECT_EQ(serialised(samples), text);

  std::string empty = "x";
  appendSamples(empty, {});
  EXPECT_EQ("x[]", empty);
}

// Arbitrary floats read back as the same doubles; the digits may differ from
// the serialiser's where it does not find the shortest form.
TEST(SampleText, WrittenSamplesReadBackExactly) {
  std::mt19937 random(7);
  std::vector<float> samples;
  while (samples.size() < 20000) {
    const uint32_t bits = random();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) {
      samples.push_back(value);
    }
  }
  std::string text;
  appendSamples(text, samples);
  const json values = json::parse(text);
  ASSERT_EQ(samples.size(), values.size());
  for (size_t n = 0; n < samples.size(); ++n) {
    ASSERT_EQ(static_cast<double>(samples[n]), values[n].get<double>()) << n;
    ASSERT_TRUE(values[n].is_number_float()) << n;
  }

  // And read through routing, they are the same floats again.
  QueuedLine routed;
  routeLine(R"({"id":1,"op":"process","pcm":)" + text + "}", routed);
  ASSERT_TRUE(routed.samples.has_value());
  EXPECT_TRUE(sameBits(samples, *routed.samples));
}

}  // namespace
}  // namespace wf::host
