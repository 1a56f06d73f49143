#include "bench/soak_ledger.h"

#include <gtest/gtest.h>

#include <charconv>

namespace wf::soak {
namespace {

using nlohmann::json;

// A block of `frames` stereo frames counting up from `start`, left positive
// and right negative, in steps of 1/4096.
std::vector<float> ramp(int frames, int start) {
  std::vector<float> block;
  for (int k = 0; k < frames; ++k) {
    block.push_back(static_cast<float>(start + k) / 4096.0f);
    block.push_back(-static_cast<float>(start + k) / 4096.0f);
  }
  return block;
}

// The reply line the host writes for a processed block.
std::string blockReply(uint64_t id, const std::vector<float>& samples) {
  std::string line = "{\"id\":" + std::to_string(id) + ",\"result\":[";
  for (size_t k = 0; k < samples.size(); ++k) {
    char text[32];
    line += k > 0 ? "," : "";
    line.append(text, std::to_chars(text, text + sizeof text, static_cast<double>(samples[k])).ptr);
  }
  return line + "]}";
}

std::string resultReply(uint64_t id, const json& result) {
  return json{{"id", id}, {"result", result}}.dump();
}

std::string errorReply(uint64_t id, const std::string& error) {
  return json{{"error", error}, {"id", id}}.dump();
}

TEST(SoakChainModel, DelaysByTheLatencyAcrossBlocksOfEitherSize) {
  ChainModel model(3);
  std::vector<float> in;
  std::vector<float> out;
  int start = 1;
  for (int frames : {256, 1024, 256, 2}) {
    const std::vector<float> block = ramp(frames, start);
    start += frames;
    const std::vector<float> delayed = model.delay(block);
    ASSERT_EQ(block.size(), delayed.size());
    in.insert(in.end(), block.begin(), block.end());
    out.insert(out.end(), delayed.begin(), delayed.end());
  }
  for (size_t k = 0; k < out.size(); ++k) {
    ASSERT_EQ(k < 6 ? 0.0f : in[k - 6], out[k]) << "sample " << k;
  }
}

TEST(SoakChainModel, WithoutLatencyPassesBlocksUnchanged) {
  ChainModel model(0);
  EXPECT_EQ(ramp(4, 7), model.delay(ramp(4, 7)));
}

TEST(SoakChainModel, GainsMultiplyInChainOrderInFloat) {
  Gains gains{0.25, 0.75, 0.5, 0.5, 0.5, 0.5, 0.625};
  const std::vector<float> block = {1.0f / 3.0f, -0.7f};
  std::vector<float> expected = block;
  for (float& s : expected) {
    s = s * 0.5f * 1.5f * 1.0f * 1.0f * 1.0f * 1.0f * 1.25f;
  }
  EXPECT_EQ(expected, ChainModel::applyGains(block, gains));
}

TEST(SoakReply, ReadsReplyLines) {
  const Reply block = parseReply(R"({"id":12,"result":[0.5,-0.25,3.0517578125e-05,0.0]})");
  ASSERT_TRUE(block.valid);
  EXPECT_EQ(12u, block.id);
  ASSERT_TRUE(block.samples);
  EXPECT_EQ((std::vector<float>{0.5f, -0.25f, 0x1p-15f, 0.0f}), *block.samples);

  // 0.1 as a double is not a float: not a sample block the host could write.
  const Reply notFloat = parseReply(R"({"id":12,"result":[0.1]})");
  EXPECT_FALSE(notFloat.samples);
  EXPECT_EQ(json::parse("[0.1]"), notFloat.result);

  const Reply nulls = parseReply(R"({"id":3,"result":[0.5,null]})");
  EXPECT_FALSE(nulls.samples);
  EXPECT_TRUE(nulls.hasResult);

  const Reply error = parseReply(R"({"error":"Invalid value","id":4})");
  EXPECT_EQ(4u, error.id);
  EXPECT_EQ("Invalid value", error.error);
  EXPECT_FALSE(error.hasResult);

  EXPECT_FALSE(parseReply(R"({"id":"x","result":true})").id);
  EXPECT_FALSE(parseReply(R"({"error":"parse error"})").id);
  EXPECT_FALSE(parseReply(R"({"id":5,"result":[0.5)").valid);
  EXPECT_FALSE(parseReply("[1]").valid);
}

class SoakLedger : public ::testing::Test {
 protected:
  static constexpr int LATENCY = 5;
  static Gains unity() { return {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5}; }

  SoakLedger() : ledger_(ChainModel(LATENCY), unity()), model_(LATENCY) {}

  // Sends an accepted block and returns the reply a correct host gives for
  // it under `gains`.
  std::string send(uint64_t id, int frames, const Gains& gains = unity()) {
    const std::vector<float> block = ramp(frames, static_cast<int>(id) * 1000);
    ledger_.sentBlock(id, block, true, 0.0);
    return blockReply(id, ChainModel::applyGains(model_.delay(block), gains));
  }

  void receive(const std::string& line) { ledger_.received(parseReply(line)); }

  Ledger ledger_;
  ChainModel model_;  // the same chain, run alongside to make the replies
};

TEST_F(SoakLedger, AcceptsExactRepliesInOrder) {
  const std::string first = send(1, 1024);
  const std::string second = send(2, 256);
  ledger_.sentBlock(3, ramp(256, 0), false, 0.0);
  receive(first);
  receive(second);
  receive(errorReply(3, "Invalid audio block size"));
  EXPECT_EQ(0u, ledger_.counts().errors());
  EXPECT_EQ(2u, ledger_.counts().blocks);
  EXPECT_EQ(1u, ledger_.counts().shortBlocks);
  EXPECT_EQ(1u, ledger_.counts().refusedBlocks);
  EXPECT_EQ(0u, ledger_.inFlight());
}

TEST_F(SoakLedger, CountsEachKindOfWrongReply) {
  struct Case {
    const char* what;
    uint64_t Counts::*counter;
  };
  // Each case sends blocks 1 and 2 and gets replies that are wrong in one way.
  const Case cases[] = {
      {"lost", &Counts::lost},
      {"duplicated", &Counts::duplicated},
      {"unexpected", &Counts::unexpected},
      {"out of order", &Counts::outOfOrder},
      {"wrong sample", &Counts::mismatched},
      {"stale block", &Counts::mismatched},
      {"error instead", &Counts::mismatched},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Ledger ledger(ChainModel(LATENCY), unity());
    ChainModel model(LATENCY);
    const std::vector<float> one = ramp(1024, 1);
    const std::vector<float> two = ramp(1024, 2000);
    ledger.sentBlock(1, one, true, 0.0);
    ledger.sentBlock(2, two, true, 0.0);
    const std::vector<float> delayedOne = model.delay(one);
    const std::string replyOne = blockReply(1, delayedOne);
    const std::vector<float> delayedTwo = model.delay(two);
    const std::string replyTwo = blockReply(2, delayedTwo);
    auto receive = [&](const std::string& line) { ledger.received(parseReply(line)); };
    const std::string what = c.what;
    if (what == "lost") {
      receive(replyOne);
      ledger.giveUp();
    } else if (what == "duplicated") {
      receive(replyOne);
      receive(replyOne);
      receive(replyTwo);
    } else if (what == "unexpected") {
      receive(replyOne);
      receive(replyTwo);
      receive(blockReply(3, delayedTwo));
    } else if (what == "out of order") {
      receive(replyTwo);
      receive(replyOne);
    } else if (what == "wrong sample") {
      receive(replyOne);
      std::vector<float> wrong = delayedTwo;
      wrong[1001] = 0.75f;
      receive(blockReply(2, wrong));
    } else if (what == "stale block") {
      // Block 2's reply carrying block 1's samples.
      receive(replyOne);
      receive(blockReply(2, delayedOne));
    } else {
      receive(replyOne);
      receive(errorReply(2, "Processing failed"));
    }
    EXPECT_EQ(1u, ledger.counts().*c.counter);
    EXPECT_EQ(1u, ledger.counts().errors());
    EXPECT_FALSE(ledger.problems().empty());
  }
}

TEST_F(SoakLedger, BlocksInFlightDuringAChangeMayShowEitherValue) {
  Gains changed = unity();
  changed[3] = 0.75;
  const std::string oldBlock = send(1, 1024);
  const std::string newBlock = send(2, 1024, changed);
  ledger_.sentChange(3, 3, 0.75, 0.0);
  EXPECT_TRUE(ledger_.changeOpen());
  EXPECT_EQ(0.75, ledger_.lastSent(3));
  const std::string eitherBlock = send(4, 256, changed);
  receive(oldBlock);
  receive(newBlock);
  receive(resultReply(3, true));
  // Sent after the change was confirmed: must show it.
  const std::string afterBlock = send(5, 1024, changed);
  receive(eitherBlock);
  EXPECT_FALSE(ledger_.changeOpen());
  receive(afterBlock);
  EXPECT_EQ(0u, ledger_.counts().errors());
  EXPECT_EQ(1u, ledger_.counts().changesApplied);
  EXPECT_EQ(4u, ledger_.counts().blocks);
}

TEST_F(SoakLedger, AChangeSeenOnceMustStay) {
  Gains changed = unity();
  changed[0] = 0.25;
  const std::string newBlock = send(1, 1024, changed);
  ledger_.sentChange(2, 0, 0.25, 0.0);
  const std::string oldBlock = send(3, 1024);
  receive(newBlock);
  receive(oldBlock);
  EXPECT_EQ(1u, ledger_.counts().mismatched);
}

TEST_F(SoakLedger, ABlockSentAfterTheConfirmationMustShowTheChange) {
  ledger_.sentChange(1, 6, 1.0 / 16 * 12, 0.0);
  receive(resultReply(1, true));
  receive(send(2, 1024));
  EXPECT_EQ(1u, ledger_.counts().mismatched);
}

TEST_F(SoakLedger, ChecksRefusalsAndReadBacks) {
  ledger_.sentChange(1, 2, 0.625, 0.0);
  ledger_.sentReadBack(2, 2, 0.0);
  ledger_.sentRefusedChange(3, 0.0);
  ledger_.sentReadBack(4, 1, 0.0);
  ledger_.sentRefusedChange(5, 0.0);
  receive(resultReply(1, true));
  receive(
      resultReply(2, json::parse(R"([{"id":0,"name":"Gain","readonly":false,"value":0.625}])")));
  receive(errorReply(3, "Invalid value"));
  // Insert 1 still holds its first value, and the refusal must be refused.
  receive(
      resultReply(4, json::parse(R"([{"id":0,"name":"Gain","readonly":false,"value":0.625}])")));
  receive(resultReply(5, true));
  EXPECT_EQ(1u, ledger_.counts().changesApplied);
  EXPECT_EQ(1u, ledger_.counts().readBacks);
  EXPECT_EQ(1u, ledger_.counts().refusedChanges);
  EXPECT_EQ(2u, ledger_.counts().mismatched);
}

TEST(SoakQuantile, PicksFromTheSortedValues) {
  std::vector<double> values = {5, 1, 4, 2, 3};
  EXPECT_EQ(3, quantile(values, 0.5));
  EXPECT_EQ(5, quantile(values, 0.99));
  std::vector<double> none;
  EXPECT_EQ(0, quantile(none, 0.5));
}

}  // namespace
}  // namespace wf::soak
