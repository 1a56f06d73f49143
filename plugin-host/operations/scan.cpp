#include "hosting/factory.h"
#include "hosting/module.h"
#include "insert/plugin.h"
#include "operations/register_operations.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"

namespace wf::host {

using nlohmann::json;

namespace {

// The audio classes of the module at "path", in factory order.
json scan(const json& request, HostState&) {
  const json& path = request.at("path");
  std::string error;
  auto module = hosting::Module::create(path.get<std::string>(), error);
  if (!module) {
    throw PluginError(error);
  }
  json classes = json::array();
  for (const hosting::ClassInfo& info : hosting::classInfos(module->factory())) {
    if (info.category != kVstAudioEffectClass) {
      continue;
    }
    classes.push_back({
        {"classId", info.idString()},
        {"instrument", info.subCategoriesString().find("Instrument") != std::string::npos},
        {"name", info.name},
        {"path", path},
        {"vendor", info.vendor},
    });
  }
  return classes;
}

}  // namespace

void registerScan(Registry& registry) {
  registry.addChainOperation("scan", scan);
}

}  // namespace wf::host
