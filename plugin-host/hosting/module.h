#pragma once

#include <memory>
#include <string>

#include "pluginterfaces/base/ipluginbase.h"

namespace wf::hosting {

/// A loaded VST3 module: its shared library, entered with the platform's entry
/// function, and the plug-in factory it exports. Inserts share one `Module`
/// through `std::shared_ptr`; when the last holder lets go, the factory is
/// released, the module's exit function runs and the library is unloaded.
/// The platform part (module_linux.cpp) is picked by the build.
class Module {
 public:
  virtual ~Module() = default;

  /// Loads the module at `path` (on Linux a bundle `NAME.vst3` holding
  /// `Contents/x86_64-linux/NAME.so`, or the shared library itself). Returns
  /// nothing and sets `error` to a one-line reason when the path is missing,
  /// the library cannot be loaded, an entry point is missing or refuses.
  static std::shared_ptr<Module> create(const std::string& path, std::string& error);

  /// The module's factory; valid while the module lives.
  virtual Steinberg::IPluginFactory* factory() const = 0;
  const std::string& path() const { return path_; }

 protected:
  explicit Module(std::string path) : path_(std::move(path)) {}

 private:
  std::string path_;
};

/// The shared library of the module at `path` (a bundle's library for this
/// platform, or the path itself for a plain file), with the loader's reason
/// when there is none.
bool moduleLibraryPath(const std::string& path, std::string& library, std::string& error);

}  // namespace wf::hosting
