#include "channel/line_reader.h"

#include <unistd.h>

#include <cerrno>

namespace wf::host {

namespace {
constexpr size_t CHUNK = 65536;
}

LineReader::LineReader(Source source, size_t maxLine)
    : source_(std::move(source)), maxLine_(maxLine) {}

bool LineReader::fill() {
  if (ended_) {
    return false;
  }
  // Drop consumed bytes before growing, so the buffer stays near one line.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  const size_t old = buffer_.size();
  buffer_.resize(old + CHUNK);
  ssize_t n;
  do {
    n = source_(buffer_.data() + old, CHUNK);
  } while (n < 0 && errno == EINTR);
  buffer_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n <= 0) {
    ended_ = true;
    return false;
  }
  return true;
}

LineReader::Status LineReader::next(std::string& line) {
  if (stopped_) {
    return stopStatus_;
  }
  size_t searched = start_;
  for (;;) {
    const size_t feed = buffer_.find('\n', searched);
    if (feed != std::string::npos) {
      if (feed - start_ > maxLine_) {
        break;
      }
      line.assign(buffer_, start_, feed - start_);
      start_ = feed + 1;
      return Status::Line;
    }
    if (buffer_.size() - start_ > maxLine_) {
      break;
    }
    searched = buffer_.size();
    const size_t consumed = start_;
    if (!fill()) {
      if (buffer_.size() > start_) {
        line.assign(buffer_, start_, std::string::npos);
        start_ = buffer_.size();
        return Status::Line;
      }
      stopped_ = true;
      stopStatus_ = Status::End;
      return Status::End;
    }
    searched -= consumed;
  }
  stopped_ = true;
  stopStatus_ = Status::TooLong;
  buffer_.clear();
  buffer_.shrink_to_fit();
  return Status::TooLong;
}

LineReader::Source fdSource(int fd) {
  return [fd](char* buffer, size_t n) { return ::read(fd, buffer, n); };
}

}  // namespace wf::host
