#include "bridge/media/flv_tags.h"

#include <algorithm>

namespace wf::bridge {
namespace {

constexpr size_t TAG_HEADER = 11;
constexpr size_t TAG_TRAILER = 4;  // PreviousTagSize

uint32_t be24(const unsigned char* p) {
  return (uint32_t{p[0]} << 16) | (p[1] << 8) | p[2];
}
uint32_t be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (p[2] << 8) | p[3];
}
const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

constexpr uint8_t TAG_AUDIO = 8;
constexpr uint8_t TAG_VIDEO = 9;
constexpr uint8_t TAG_SCRIPT = 18;

FlvTagKind classify_video(std::string_view body) {
  if (body.empty()) {
    return FlvTagKind::Other;
  }
  const auto first = static_cast<unsigned char>(body[0]);
  const int frame_type = first >> 4;
  const int codec = first & 0x0F;
  if (codec == 7) {  // AVC: a packet type follows
    if (body.size() < 2) {
      return FlvTagKind::Other;
    }
    switch (static_cast<unsigned char>(body[1])) {
      case 0:
        return FlvTagKind::VideoSequenceHeader;
      case 1:
        break;
      default:  // end of sequence
        return FlvTagKind::Other;
    }
  }
  switch (frame_type) {
    case 1:
      return FlvTagKind::VideoKeyframe;
    case 2:
    case 3:
    case 4:
      return FlvTagKind::VideoFrame;
    default:  // command frames carry no picture
      return FlvTagKind::Other;
  }
}

FlvTagKind classify_audio(std::string_view body) {
  if (body.empty()) {
    return FlvTagKind::Other;
  }
  const int format = static_cast<unsigned char>(body[0]) >> 4;
  if (format == 10) {  // AAC: a packet type follows
    if (body.size() < 2) {
      return FlvTagKind::Other;
    }
    return body[1] == 0 ? FlvTagKind::AudioSequenceHeader : FlvTagKind::AudioFrame;
  }
  return FlvTagKind::AudioFrame;
}

FlvTagKind classify_script(std::string_view body) {
  // AMF0: a string marker (2), a 16-bit length, the name.
  static constexpr std::string_view NAME = "onMetaData";
  if (body.size() >= 3 + NAME.size() && body[0] == 2) {
    const auto* p = bytes_of(body);
    const size_t length = (size_t{p[1]} << 8) | p[2];
    if (length == NAME.size() && body.substr(3, length) == NAME) {
      return FlvTagKind::Metadata;
    }
  }
  return FlvTagKind::Other;
}

}  // namespace

FlvTagKind classify_flv_unit(std::string_view unit) {
  if (unit.size() >= 3 && unit.substr(0, 3) == "FLV") {
    return FlvTagKind::FileHeader;
  }
  if (unit.size() < TAG_HEADER + TAG_TRAILER) {
    return FlvTagKind::Other;
  }
  const auto type = static_cast<uint8_t>(unit[0]);
  if (type & 0x20) {  // the filter bit: an encrypted body we cannot read
    return FlvTagKind::Other;
  }
  const std::string_view body = unit.substr(TAG_HEADER, unit.size() - TAG_HEADER - TAG_TRAILER);
  switch (type & 0x1F) {
    case TAG_VIDEO:
      return classify_video(body);
    case TAG_AUDIO:
      return classify_audio(body);
    case TAG_SCRIPT:
      return classify_script(body);
    default:
      return FlvTagKind::Other;
  }
}

Status FlvSplitter::fail(std::string message) {
  failed_ = Error(std::move(message));
  pending_.clear();
  pending_.shrink_to_fit();
  return *failed_;
}

FlvTag FlvSplitter::make_unit(std::string bytes) const {
  FlvTag tag;
  tag.kind = classify_flv_unit(bytes);
  if (tag.kind != FlvTagKind::FileHeader) {
    const auto* p = bytes_of(bytes);
    tag.timestamp_ms = be24(p + 4) | (uint32_t{p[7]} << 24);
  }
  tag.bytes = std::make_shared<const std::string>(std::move(bytes));
  return tag;
}

Status FlvSplitter::push(std::string_view bytes, std::vector<FlvTag>& out) {
  if (failed_) {
    return *failed_;
  }
  while (!bytes.empty()) {
    // The fixed part of a unit first: its length field decides the rest.
    const size_t fixed = header_done_ ? TAG_HEADER : 9;
    if (pending_.size() < fixed) {
      const size_t take = std::min(fixed - pending_.size(), bytes.size());
      pending_.append(bytes.substr(0, take));
      bytes.remove_prefix(take);
      if (pending_.size() < fixed) {
        continue;
      }
    }
    const auto* p = bytes_of(pending_);
    size_t need = 0;
    if (!header_done_) {
      if (pending_.compare(0, 3, "FLV") != 0) {
        return fail("not an FLV stream");
      }
      const uint32_t offset = be32(p + 5);
      if (offset < 9 || offset > FLV_MAX_HEADER_SIZE) {
        return fail("FLV header size out of range");
      }
      need = offset + TAG_TRAILER;
    } else {
      need = TAG_HEADER + be24(p + 1) + TAG_TRAILER;
    }
    // Take only what this unit still needs; the rest of the push is never
    // held.
    const size_t take = std::min(need - pending_.size(), bytes.size());
    pending_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (pending_.size() < need) {
      continue;
    }
    if (header_done_) {
      const uint32_t declared = be32(bytes_of(pending_) + need - TAG_TRAILER);
      if (declared != need - TAG_TRAILER) {
        return fail("FLV tag size mismatch");
      }
    }
    header_done_ = true;
    consumed_ += need;
    out.push_back(make_unit(std::move(pending_)));
    pending_.clear();
  }
  return {};
}

void FlvHead::observe(const FlvTag& tag) {
  switch (tag.kind) {
    case FlvTagKind::FileHeader:
      *this = FlvHead{};
      header_ = tag;
      break;
    case FlvTagKind::Metadata:
      metadata_ = tag;
      break;
    case FlvTagKind::VideoSequenceHeader:
      video_ = tag;
      break;
    case FlvTagKind::AudioSequenceHeader:
      audio_ = tag;
      break;
    default:
      break;
  }
}

bool FlvHead::ready() const {
  return header_ && video_;
}

std::vector<FlvTag> FlvHead::tags() const {
  std::vector<FlvTag> out;
  for (const auto* unit : {&header_, &metadata_, &video_, &audio_}) {
    if (*unit) {
      out.push_back(**unit);
    }
  }
  return out;
}

std::vector<SharedBytes> FlvJoin::admit(const FlvTag& tag, const FlvHead& head) {
  if (joined_) {
    if (tag.kind == FlvTagKind::FileHeader) {
      return {};
    }
    return {tag.bytes};
  }
  if (tag.kind != FlvTagKind::VideoKeyframe || !head.ready()) {
    return {};
  }
  joined_ = true;
  std::vector<SharedBytes> out;
  for (const FlvTag& unit : head.tags()) {
    out.push_back(unit.bytes);
  }
  out.push_back(tag.bytes);
  return out;
}

SharedBytes with_timestamp(const FlvTag& tag, uint32_t ms) {
  if (tag.kind == FlvTagKind::FileHeader || !tag.bytes || tag.bytes->size() < TAG_HEADER) {
    return tag.bytes;
  }
  std::string copy = *tag.bytes;
  copy[4] = static_cast<char>((ms >> 16) & 0xFF);
  copy[5] = static_cast<char>((ms >> 8) & 0xFF);
  copy[6] = static_cast<char>(ms & 0xFF);
  copy[7] = static_cast<char>((ms >> 24) & 0xFF);
  return std::make_shared<const std::string>(std::move(copy));
}

}  // namespace wf::bridge
