#include "insert/block_events.h"

#include <gtest/gtest.h>

#include "hosting/event_list.h"
#include "hosting/parameter_changes.h"

namespace wf::host {
namespace {

using nlohmann::json;
using namespace Steinberg;
using namespace Steinberg::Vst;

class BlockEventsTest : public ::testing::Test {
 protected:
  BlockEventsTest() {
    map.set(0, 7, 100);
    map.set(0, MidiControllerMap::PITCH_BEND, 101);
    map.set(15, 129, 102);
  }
  void add(const std::string& text) { addBlockEvents(json::parse(text), map, events, changes); }
  Event event(int32 index) {
    Event e{};
    EXPECT_EQ(kResultOk, events.getEvent(index, e));
    return e;
  }
  // (id, offset, value) of each queue's points.
  std::vector<std::tuple<ParamID, int32, double>> points() {
    std::vector<std::tuple<ParamID, int32, double>> all;
    for (int32 q = 0; q < changes.getParameterCount(); ++q) {
      IParamValueQueue* queue = changes.getParameterData(q);
      for (int32 p = 0; p < queue->getPointCount(); ++p) {
        int32 offset = 0;
        ParamValue value = 0;
        queue->getPoint(p, offset, value);
        all.emplace_back(queue->getParameterId(), offset, value);
      }
    }
    return all;
  }

  MidiControllerMap map;
  hosting::EventList events{2048};
  hosting::ParameterChanges changes{16};
};

TEST_F(BlockEventsTest, NotesCarryChannelPitchAndNoteId) {
  add(R"([{"type":1,"channel":2,"number":60,"value":0.5,"offset":10},
          {"type":0,"channel":2,"number":60,"value":0.9,"offset":20},
          {"type":1,"number":64,"value":1}])");
  ASSERT_EQ(3, events.getEventCount());
  Event on = event(0);
  EXPECT_EQ(Event::kNoteOnEvent, on.type);
  EXPECT_EQ(0, on.busIndex);
  EXPECT_EQ(10, on.sampleOffset);
  EXPECT_EQ(2, on.noteOn.channel);
  EXPECT_EQ(60, on.noteOn.pitch);
  EXPECT_FLOAT_EQ(0.5f, on.noteOn.velocity);
  EXPECT_EQ(316, on.noteOn.noteId);
  Event off = event(1);
  EXPECT_EQ(Event::kNoteOffEvent, off.type);
  EXPECT_EQ(20, off.sampleOffset);
  EXPECT_EQ(0.0f, off.noteOff.velocity);
  EXPECT_EQ(316, off.noteOff.noteId);
  EXPECT_EQ(64, event(2).noteOn.noteId);
  EXPECT_EQ(0, changes.getParameterCount());
}

TEST_F(BlockEventsTest, ControllersBecomePointsOfMappedParameters) {
  add(R"([{"type":176,"channel":0,"number":7,"value":0.25,"offset":3},
          {"type":3,"channel":0,"number":99,"value":0.75},
          {"type":-5,"channel":15,"number":129,"value":0.5,"offset":1},
          {"type":176,"channel":0,"number":8,"value":0.1},
          {"type":176,"channel":16,"number":7,"value":0.1},
          {"type":176,"channel":-1,"number":7,"value":0.1},
          {"type":176,"channel":0,"number":130,"value":0.1}])");
  EXPECT_EQ(0, events.getEventCount());
  EXPECT_EQ((std::vector<std::tuple<ParamID, int32, double>>{
                {100, 3, 0.25}, {101, 0, 0.75}, {102, 1, 0.5}}),
            points());
}

TEST_F(BlockEventsTest, DropsEventsBeyondTheListCapacity) {
  json many = json::array();
  for (int i = 0; i < 2100; ++i) {
    many.push_back({{"type", 1}, {"number", i % 128}, {"value", 1}});
  }
  addBlockEvents(many, map, events, changes);
  EXPECT_EQ(2048, events.getEventCount());
}

TEST_F(BlockEventsTest, MissingMembersFailWithTheLibraryText) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([{"number":1,"value":1}])", "[json.exception.out_of_range.403] key 'type' not found"},
      {R"([{"type":1,"value":1}])", "[json.exception.out_of_range.403] key 'number' not found"},
      {R"([{"type":1,"number":1}])", "[json.exception.out_of_range.403] key 'value' not found"},
      {R"([{"type":1,"number":1,"value":1,"channel":"x"}])",
       "[json.exception.type_error.302] type must be number, but is string"},
  };
  for (const auto& [text, message] : cases) {
    try {
      add(text);
      ADD_FAILURE() << text;
    } catch (const json::exception& e) {
      EXPECT_STREQ(message, e.what());
    }
  }
}

}  // namespace
}  // namespace wf::host
