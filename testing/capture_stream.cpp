#include "testing/capture_stream.h"

#include <cstdlib>
#include <cstring>

namespace wf::testing {

namespace {

constexpr size_t HEADER_BYTES = 24;

CapturePacket decodeHeader(const char* bytes) {
  CapturePacket p;
  std::memcpy(&p.frames, bytes, 4);
  std::memcpy(&p.dropped, bytes + 4, 4);
  std::memcpy(&p.sequence, bytes + 8, 8);
  std::memcpy(&p.time, bytes + 16, 8);
  return p;
}

}  // namespace

uint32_t headerChannels(const std::string& line) {
  const std::string key = "\"channels\":";
  size_t at = line.find(key);
  if (at == std::string::npos) {
    return 0;
  }
  return static_cast<uint32_t>(std::strtoul(line.c_str() + at + key.size(), nullptr, 10));
}

void CaptureStreamDecoder::feed(std::string_view bytes) {
  buffer_.append(bytes);
  decode();
}

void CaptureStreamDecoder::decode() {
  if (!header_) {
    size_t end = buffer_.find('\n');
    if (end == std::string::npos) {
      return;
    }
    header_ = buffer_.substr(0, end);
    channels_ = headerChannels(*header_);
    buffer_.erase(0, end + 1);
  }
  size_t at = 0;
  while (buffer_.size() - at >= HEADER_BYTES) {
    CapturePacket p = decodeHeader(buffer_.data() + at);
    size_t sampleBytes = size_t{p.frames} * channels_ * sizeof(float);
    if (buffer_.size() - at - HEADER_BYTES < sampleBytes) {
      break;
    }
    p.samples.resize(size_t{p.frames} * channels_);
    if (sampleBytes > 0) {
      std::memcpy(p.samples.data(), buffer_.data() + at + HEADER_BYTES, sampleBytes);
    }
    packets_.push_back(std::move(p));
    at += HEADER_BYTES + sampleBytes;
  }
  buffer_.erase(0, at);
}

std::vector<CapturePacket> CaptureStreamDecoder::take() {
  return std::exchange(packets_, {});
}

std::optional<CapturePacket> readPacket(Child& child, uint32_t channels,
                                        std::chrono::milliseconds timeout) {
  auto head = child.readBytes(HEADER_BYTES, timeout);
  if (!head) {
    return std::nullopt;
  }
  CapturePacket p = decodeHeader(head->data());
  size_t sampleBytes = size_t{p.frames} * channels * sizeof(float);
  p.samples.resize(size_t{p.frames} * channels);
  if (sampleBytes > 0) {
    auto body = child.readBytes(sampleBytes, timeout);
    if (!body) {
      return std::nullopt;
    }
    std::memcpy(p.samples.data(), body->data(), sampleBytes);
  }
  return p;
}

}  // namespace wf::testing
