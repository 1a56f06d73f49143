#include "insert/output_mailbox.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

namespace wf::host {
namespace {

std::map<uint32_t, double> takeAll(OutputMailbox& mailbox) {
  std::map<uint32_t, double> taken;
  mailbox.take([&](uint32_t id, double value) {
    EXPECT_TRUE(taken.emplace(id, value).second) << "delivered twice in one take: " << id;
  });
  return taken;
}

TEST(OutputMailbox, DeliversTheNewestValueOfEachChangedIdOnce) {
  OutputMailbox mailbox;
  EXPECT_TRUE(takeAll(mailbox).empty());

  mailbox.post(7, 0.25);
  mailbox.post(3, 0.5);
  mailbox.post(7, 0.75);
  EXPECT_EQ((std::map<uint32_t, double>{{3, 0.5}, {7, 0.75}}), takeAll(mailbox));
  EXPECT_TRUE(takeAll(mailbox).empty());

  // Only what changed since the last take comes again, even an equal value.
  mailbox.post(3, 0.5);
  EXPECT_EQ((std::map<uint32_t, double>{{3, 0.5}}), takeAll(mailbox));
}

TEST(OutputMailbox, DropsNewIdsOnceFullButKeepsUpdatingKnownOnes) {
  OutputMailbox mailbox;
  for (uint32_t id = 0; id < OutputMailbox::CAPACITY; ++id) {
    EXPECT_TRUE(mailbox.post(id, 0.0));
  }
  EXPECT_FALSE(mailbox.post(100000, 1.0));
  EXPECT_TRUE(mailbox.post(5, 1.0));
  const auto taken = takeAll(mailbox);
  EXPECT_EQ(OutputMailbox::CAPACITY, taken.size());
  EXPECT_EQ(0u, taken.count(100000));
  EXPECT_EQ(1.0, taken.at(5));
}

// A writer thread posts a rising series per ID while the reader takes: the
// reader never sees a value go backwards, and after the writer ends the last
// take holds every ID's final value.
TEST(OutputMailbox, AConcurrentReaderSeesRisingValuesAndEndsWithTheLast) {
  constexpr int STEPS = 20000;
  constexpr uint32_t IDS = 8;
  OutputMailbox mailbox;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int step = 1; step <= STEPS; ++step) {
      for (uint32_t id = 0; id < IDS; ++id) {
        mailbox.post(id, step);
      }
    }
    done = true;
  });
  std::map<uint32_t, double> latest;
  auto takeChecked = [&] {
    mailbox.take([&](uint32_t id, double value) {
      EXPECT_GE(value, latest[id]) << id;
      latest[id] = value;
    });
  };
  while (!done) {
    takeChecked();
  }
  writer.join();
  takeChecked();
  for (uint32_t id = 0; id < IDS; ++id) {
    EXPECT_EQ(STEPS, latest[id]) << id;
  }
}

}  // namespace
}  // namespace wf::host
