#pragma once

#include <nlohmann/json.hpp>

#include "pluginterfaces/base/ipluginbase.h"

namespace wf::host {

/// The audio classes a factory offers, in factory order: one record per class
/// whose category is exactly "Audio Module Class", with "classId",
/// "instrument" (the subcategories hold "Instrument"), "name" and "vendor".
/// "scan" adds "path".
nlohmann::json audioClasses(Steinberg::IPluginFactory* factory);

}  // namespace wf::host
