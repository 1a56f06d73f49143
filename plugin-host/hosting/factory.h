#pragma once

#include <string>
#include <vector>

#include "pluginterfaces/base/ipluginbase.h"

namespace wf::hosting {

/// One class a module's factory offers.
struct ClassInfo {
  Steinberg::TUID id{};
  std::string name;
  std::string vendor;
  /// The category, e.g. "Audio Module Class" (kVstAudioEffectClass).
  std::string category;
  std::vector<std::string> subCategories;

  /// The subcategories joined with "|", as the factory wrote them.
  std::string subCategoriesString() const;
  /// The ID as 32 upper-case hexadecimal digits (see uidToString).
  std::string idString() const;
};

/// The factory's classes in factory order. Classes described through
/// IPluginFactory2 carry vendor and subcategories; plain IPluginFactory
/// classes have none of either.
std::vector<ClassInfo> classInfos(Steinberg::IPluginFactory* factory);

}  // namespace wf::hosting
