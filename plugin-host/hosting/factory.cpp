#include "hosting/factory.h"

#include <cstring>

#include "hosting/uid.h"

namespace wf::hosting {

namespace {

// Fixed-size, possibly unterminated strings of the class info records.
template <size_t N>
std::string text(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::vector<std::string> splitSubCategories(const std::string& joined) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= joined.size() && !joined.empty()) {
    const size_t bar = joined.find('|', start);
    parts.push_back(joined.substr(start, bar == std::string::npos ? bar : bar - start));
    if (bar == std::string::npos) {
      break;
    }
    start = bar + 1;
  }
  return parts;
}

}  // namespace

std::string ClassInfo::subCategoriesString() const {
  std::string joined;
  for (size_t i = 0; i < subCategories.size(); ++i) {
    if (i > 0) {
      joined.push_back('|');
    }
    joined += subCategories[i];
  }
  return joined;
}

std::string ClassInfo::idString() const {
  return uidToString(id);
}

std::vector<ClassInfo> classInfos(Steinberg::IPluginFactory* factory) {
  std::vector<ClassInfo> classes;
  if (factory == nullptr) {
    return classes;
  }
  Steinberg::IPluginFactory2* factory2 = nullptr;
  if (factory->queryInterface(Steinberg::IPluginFactory2::iid,
                              reinterpret_cast<void**>(&factory2)) != Steinberg::kResultOk) {
    factory2 = nullptr;
  }
  const Steinberg::int32 count = factory->countClasses();
  for (Steinberg::int32 i = 0; i < count; ++i) {
    ClassInfo info;
    Steinberg::PClassInfo2 info2;
    Steinberg::PClassInfo info1;
    if (factory2 != nullptr && factory2->getClassInfo2(i, &info2) == Steinberg::kResultOk) {
      std::memcpy(info.id, info2.cid, sizeof(info.id));
      info.name = text(info2.name);
      info.category = text(info2.category);
      info.vendor = text(info2.vendor);
      info.subCategories = splitSubCategories(text(info2.subCategories));
    } else if (factory->getClassInfo(i, &info1) == Steinberg::kResultOk) {
      std::memcpy(info.id, info1.cid, sizeof(info.id));
      info.name = text(info1.name);
      info.category = text(info1.category);
    } else {
      continue;
    }
    classes.push_back(std::move(info));
  }
  if (factory2 != nullptr) {
    factory2->release();
  }
  return classes;
}

}  // namespace wf::hosting
