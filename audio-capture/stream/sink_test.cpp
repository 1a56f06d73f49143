#include "audio-capture/stream/sink.h"

#include <gtest/gtest.h>

#include "audio-capture/stream/fake_sink.h"

namespace wf::capture {
namespace {

const std::string BYTES = "0123456789abcdef";

TEST(WriteAll, ContinuesAfterShortWrites) {
  for (size_t chunk : {1u, 3u, 16u}) {
    RecordingSink sink;
    sink.chunk = chunk;
    volatile std::sig_atomic_t stop = 0;
    EXPECT_TRUE(writeAll(sink, BYTES.data(), BYTES.size(), stop));
    EXPECT_EQ(BYTES, sink.bytes);
    EXPECT_EQ((BYTES.size() + chunk - 1) / chunk, sink.calls);
  }
}

TEST(WriteAll, ZeroLengthSucceedsWithoutWriting) {
  RecordingSink sink;
  volatile std::sig_atomic_t stop = 1;
  EXPECT_TRUE(writeAll(sink, BYTES.data(), 0, stop));
  EXPECT_EQ(0u, sink.calls);
}

TEST(WriteAll, FailedWriteGivesUp) {
  for (ssize_t result : {0, -1}) {
    RecordingSink sink;
    sink.chunk = 4;
    sink.failAt = 2;
    sink.failResult = result;
    volatile std::sig_atomic_t stop = 0;
    EXPECT_FALSE(writeAll(sink, BYTES.data(), BYTES.size(), stop));
    EXPECT_EQ(3u, sink.calls) << "no retry after a failed write";
    EXPECT_EQ("01234567", sink.bytes);
  }
}

TEST(WriteAll, StopLeavesTheRestUnwritten) {
  RecordingSink sink;
  sink.chunk = 5;
  volatile std::sig_atomic_t stop = 0;
  sink.onWrite = [&] { stop = 1; };
  EXPECT_FALSE(writeAll(sink, BYTES.data(), BYTES.size(), stop));
  EXPECT_EQ("01234", sink.bytes);

  RecordingSink untouched;
  EXPECT_FALSE(writeAll(untouched, BYTES.data(), BYTES.size(), stop));
  EXPECT_EQ(0u, untouched.calls);
}

}  // namespace
}  // namespace wf::capture
