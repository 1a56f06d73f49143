#include "scan/audio_classes.h"

#include "hosting/factory.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"

namespace wf::host {

using nlohmann::json;

json audioClasses(Steinberg::IPluginFactory* factory) {
  json classes = json::array();
  for (const hosting::ClassInfo& info : hosting::classInfos(factory)) {
    if (info.category != kVstAudioEffectClass) {
      continue;
    }
    classes.push_back({
        {"classId", info.idString()},
        {"instrument", info.subCategoriesString().find("Instrument") != std::string::npos},
        {"name", info.name},
        {"vendor", info.vendor},
    });
  }
  return classes;
}

}  // namespace wf::host
