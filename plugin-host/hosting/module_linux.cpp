#include <dlfcn.h>
#include <sys/stat.h>

#include "hosting/host_context.h"
#include "hosting/module.h"

namespace wf::hosting {

namespace {

using ModuleEntryFn = bool (*)(void*);
using ModuleExitFn = bool (*)();
using GetFactoryFn = Steinberg::IPluginFactory* (*)();

class LinuxModule final : public Module {
 public:
  LinuxModule(std::string path, void* library, ModuleExitFn exit,
              Steinberg::IPluginFactory* factory)
      : Module(std::move(path)), library_(library), exit_(exit), factory_(factory) {}

  ~LinuxModule() override {
    factory_->release();
    exit_();
    dlclose(library_);
  }

  Steinberg::IPluginFactory* factory() const override { return factory_; }

 private:
  void* library_;
  ModuleExitFn exit_;
  Steinberg::IPluginFactory* factory_;
};

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

// A bundle NAME.vst3 keeps its library at Contents/x86_64-linux/NAME.so; a
// plain file is taken to be the library itself.
bool libraryPath(const std::string& path, std::string& library, std::string& error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    error = "VST3 module not found: " + path;
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    library = path;
    return true;
  }
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
    name.erase(dot);
  }
  library = path + "/Contents/x86_64-linux/" + name + ".so";
  if (::stat(library.c_str(), &info) != 0) {
    error = "VST3 bundle has no library for x86_64-linux: " + library;
    return false;
  }
  return true;
}

}  // namespace

bool moduleLibraryPath(const std::string& path, std::string& library, std::string& error) {
  return libraryPath(withoutTrailingSlashes(path), library, error);
}

std::shared_ptr<Module> Module::create(const std::string& requested, std::string& error) {
  const std::string path = withoutTrailingSlashes(requested);
  std::string library;
  if (!libraryPath(path, library, error)) {
    return nullptr;
  }
  void* handle = dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = std::string("Could not load VST3 module: ") + (reason ? reason : library);
    return nullptr;
  }
  auto entry = reinterpret_cast<ModuleEntryFn>(dlsym(handle, "ModuleEntry"));
  auto exit = reinterpret_cast<ModuleExitFn>(dlsym(handle, "ModuleExit"));
  auto getFactory = reinterpret_cast<GetFactoryFn>(dlsym(handle, "GetPluginFactory"));
  if (getFactory == nullptr) {
    error = "VST3 module does not export GetPluginFactory: " + library;
    dlclose(handle);
    return nullptr;
  }
  if (entry == nullptr || exit == nullptr) {
    error = "VST3 module does not export ModuleEntry and ModuleExit: " + library;
    dlclose(handle);
    return nullptr;
  }
  if (!entry(handle)) {
    error = "VST3 module entry failed: " + library;
    dlclose(handle);
    return nullptr;
  }
  Steinberg::IPluginFactory* factory = getFactory();
  if (factory == nullptr) {
    error = "VST3 module returned no plug-in factory: " + library;
    exit();
    dlclose(handle);
    return nullptr;
  }
  offerHostContext(factory);
  return std::make_shared<LinuxModule>(path, handle, exit, factory);
}

}  // namespace wf::hosting
