#include "bridge/encoder/payload.h"

#include <algorithm>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "bridge/core/json_members.h"

namespace wf::bridge {

namespace {

using nlohmann::json;

// Thrown inside the parse only, caught at its single boundary.
struct Invalid {
  std::string message;
};

const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    return nullptr;
  }
  return &*it;
}

std::optional<std::string> string_member(const json& object, const char* key) {
  const json* v = member(object, key);
  if (!v) {
    return std::nullopt;
  }
  if (!v->is_string()) {
    throw Invalid{std::string("\"") + key + "\" must be a string"};
  }
  return v->get<std::string>();
}

std::optional<uint32_t> u32_member(const json& object, const char* key) {
  auto value = unsigned_member<uint32_t>(object, key);
  if (!value) {
    throw Invalid{value.error().message()};
  }
  return *value;
}

std::optional<bool> bool_member(const json& object, const char* key) {
  const json* v = member(object, key);
  if (!v) {
    return std::nullopt;
  }
  if (!v->is_boolean()) {
    throw Invalid{std::string("\"") + key + "\" must be a boolean"};
  }
  return v->get<bool>();
}

EncoderOutputRequest parse_output(const json& value) {
  if (!value.is_object()) {
    throw Invalid{"a destination must be an object"};
  }
  EncoderOutputRequest out;
  out.id = string_member(value, "id");
  out.name = string_member(value, "name");
  auto url = string_member(value, "rtmpUrl");
  if (!url) {
    throw Invalid{"\"rtmpUrl\" is required"};
  }
  out.rtmp_url = std::move(*url);
  out.resolution = string_member(value, "resolution");
  out.video_bitrate = u32_member(value, "videoBitrate");
  return out;
}

// Parses `text`, failing when a member of the payload object or of one of
// its destination objects occurs twice (the JSON library keeps the last).
// Objects nested elsewhere, inside members the payload ignores, may repeat
// keys.
json parse_checking_duplicates(std::string_view text) {
  struct Frame {
    bool object;
    bool checked;
    std::set<std::string> keys;
    std::string last_key;
  };
  std::vector<Frame> stack;
  std::optional<std::string> duplicate;
  auto callback = [&](int, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start: {
        const bool destination = stack.size() == 2 && stack[0].object &&
                                 stack[0].last_key == "outputs" && !stack[1].object;
        stack.push_back({true, stack.empty() || destination, {}, {}});
        break;
      }
      case json::parse_event_t::array_start:
        stack.push_back({false, false, {}, {}});
        break;
      case json::parse_event_t::key: {
        Frame& f = stack.back();
        f.last_key = parsed.get<std::string>();
        if (f.checked && !f.keys.insert(f.last_key).second && !duplicate) {
          duplicate = f.last_key;
        }
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        stack.pop_back();
        break;
      case json::parse_event_t::value:
        break;
    }
    return true;
  };
  json value;
  try {
    value = json::parse(text.begin(), text.end(), callback);
  } catch (const json::exception& e) {
    throw Invalid{e.what()};
  }
  if (duplicate) {
    throw Invalid{"member \"" + *duplicate + "\" given twice"};
  }
  return value;
}

uint32_t clamp(uint32_t v, uint32_t lo, uint32_t hi) {
  return std::clamp(v, lo, hi);
}

}  // namespace

Result<EncoderStartRequest> parse_encoder_start_request(std::string_view text) {
  try {
    json root = parse_checking_duplicates(text);
    if (!root.is_object()) {
      throw Invalid{"the payload must be an object"};
    }
    const json* outputs = member(root, "outputs");
    if (!outputs) {
      throw Invalid{"\"outputs\" is required"};
    }
    if (!outputs->is_array()) {
      throw Invalid{"\"outputs\" must be an array"};
    }
    EncoderStartRequest request;
    for (const json& item : *outputs) {
      request.outputs.push_back(parse_output(item));
    }
    request.input_format = string_member(root, "inputFormat");
    request.has_audio = bool_member(root, "hasAudio").value_or(false);
    request.fps = u32_member(root, "fps");
    request.video_bitrate = u32_member(root, "videoBitrate");
    request.audio_bitrate = u32_member(root, "audioBitrate");
    request.shared_encoding = bool_member(root, "sharedEncoding").value_or(false);
    return request;
  } catch (const Invalid& e) {
    return Error("invalid encoder payload", Error(e.message));
  }
}

bool valid_output_id(std::string_view id) {
  if (id.empty() || id.size() > 120) {
    return false;
  }
  return std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
  });
}

std::string legacy_output_id(size_t index) {
  return "legacy-output-" + std::to_string(index);
}

std::string default_output_name(size_t index) {
  return "Output " + std::to_string(index + 1);
}

Result<OutputIdentity> output_identity(const EncoderOutputRequest& output, size_t index,
                                       std::set<std::string>& taken) {
  std::string id = output.id.value_or(legacy_output_id(index));
  if (!valid_output_id(id) || !taken.insert(id).second) {
    return Error("Invalid or duplicate destination ID");
  }
  return OutputIdentity{std::move(id), output.name.value_or(default_output_name(index))};
}

Result<std::string> input_demuxer(const std::optional<std::string>& input_format) {
  if (!input_format || *input_format == "webm") {
    return std::string("webm");
  }
  if (*input_format == "mp4") {
    return std::string("mov");
  }
  return Error("Unsupported program input format");
}

Result<std::string> scale_target(std::string_view resolution) {
  static const std::pair<std::string_view, std::string_view> TABLE[] = {
      {"720p", "1280:720"},
      {"1080p", "1920:1080"},
      {"1440p", "2560:1440"},
      {"4k", "3840:2160"},
  };
  for (const auto& [profile, target] : TABLE) {
    if (profile == resolution) {
      return std::string(target);
    }
  }
  return Error("Unsupported destination resolution");
}

uint32_t effective_fps(const EncoderStartRequest& request) {
  return request.fps ? clamp(*request.fps, 24, 60) : 30;
}

uint32_t effective_video_bitrate(const EncoderStartRequest& request,
                                 const EncoderOutputRequest& output) {
  if (output.video_bitrate) {
    return clamp(*output.video_bitrate, 800, 30000);
  }
  return request.video_bitrate ? clamp(*request.video_bitrate, 800, 30000) : 4500;
}

uint32_t effective_audio_bitrate(const EncoderStartRequest& request) {
  return request.audio_bitrate ? clamp(*request.audio_bitrate, 64, 320) : 160;
}

}  // namespace wf::bridge
