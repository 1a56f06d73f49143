#include "operations/state.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "channel/host_state.h"
#include "insert/plugin.h"
#include "public.sdk/source/common/memorystream.h"

namespace wf::host {

using namespace Steinberg;

namespace {

std::vector<std::uint8_t> bytesOf(MemoryStream& stream) {
  auto* data = reinterpret_cast<const std::uint8_t*>(stream.getData());
  auto size = static_cast<std::size_t>(stream.getSize());
  return data ? std::vector<std::uint8_t>(data, data + size) : std::vector<std::uint8_t>{};
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A parameter ID must be an integer that fits 32 bits unsigned; the JSON
// library's own conversion would wrap or truncate anything else into some
// other parameter's ID.
Vst::ParamID readParameterId(const nlohmann::json& request) {
  const auto& value = request.at("parameter");
  if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 0xFFFFFFFFu) {
    return static_cast<Vst::ParamID>(value.get<std::uint64_t>());
  }
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0 &&
      value.get<std::int64_t>() <= 0xFFFFFFFF) {
    return static_cast<Vst::ParamID>(value.get<std::int64_t>());
  }
  if (!value.is_number()) {
    value.get<std::uint32_t>();  // throws the JSON library's type text
  }
  throw PluginError("Invalid parameter");
}

nlohmann::json saveChain(const nlohmann::json&, HostState& host) {
  nlohmann::json saved = nlohmann::json::array();
  for (auto& insert : host.chain) {
    nlohmann::json descriptor = insert->descriptor;
    descriptor["bypass"] = insert->bypass.load();
    descriptor["state"] = insert->state();
    saved.push_back(std::move(descriptor));
  }
  return saved;
}

nlohmann::json setBypass(const nlohmann::json& request, Plugin& insert, HostState&) {
  bool value = request.at("value").get<bool>();
  insert.bypass.exchange(value);
  return true;
}

nlohmann::json setParameter(const nlohmann::json& request, Plugin& insert, HostState&) {
  Vst::ParamID id = readParameterId(request);
  double value = request.at("value").get<double>();
  if (!(value >= 0.0 && value <= 1.0)) {
    throw PluginError("Invalid value");
  }
  insert.controller->setParamNormalized(id, value);
  std::lock_guard<std::recursive_mutex> hold(insert.lock);
  insert.handler.inputChanges.addPoint(id, 0, value);
  return true;
}

}  // namespace

std::string utf16ToUtf8(const char16_t* text, std::size_t maxUnits) {
  std::string out;
  for (std::size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < maxUnits && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

nlohmann::json Plugin::state() {
  IPtr<MemoryStream> componentStream = owned(new MemoryStream);
  if (component->getState(componentStream) != kResultOk) {
    throw PluginError("Plugin did not provide state");
  }
  nlohmann::json state = {{"component", bytesOf(*componentStream)}};
  IPtr<MemoryStream> controllerStream = owned(new MemoryStream);
  if (controller->getState(controllerStream) == kResultOk) {
    state["controller"] = bytesOf(*controllerStream);
  }
  return state;
}

nlohmann::json Plugin::parameters() {
  nlohmann::json records = nlohmann::json::array();
  int32 count = controller->getParameterCount();
  for (int32 index = 0; index < count; ++index) {
    Vst::ParameterInfo info{};
    if (controller->getParameterInfo(index, info) != kResultOk) {
      continue;
    }
    records.push_back({{"id", info.id},
                       {"name", utf16ToUtf8(info.title, std::size(info.title))},
                       {"readonly", (info.flags & Vst::ParameterInfo::kIsReadOnly) != 0},
                       {"value", controller->getParamNormalized(info.id)}});
  }
  return records;
}

void registerStateOperations(Registry& registry) {
  registry.addChainOperation("state", saveChain);
  registry.addInsertOperation("bypass", setBypass);
  registry.addInsertOperation("parameters", [](const nlohmann::json&, Plugin& insert, HostState&) {
    return insert.parameters();
  });
  registry.addInsertOperation("parameter", setParameter);
}

}  // namespace wf::host
