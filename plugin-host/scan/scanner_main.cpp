// plugin-host-scanner: the child that plugin-host starts for every "scan".
// It loads the one module named by its argument, writes its audio classes
// (or the loader's error) as one JSON object to descriptor 3, and exits. A
// module that crashes or hangs here takes only this process with it.
//
// Usage: plugin-host-scanner MODULE-PATH   (descriptor 3 open for writing)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "hosting/host_context.h"
#include "hosting/module.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"
#include "scan/audio_classes.h"
#include "scan/scanner.h"

namespace {

constexpr int MESSAGE_FD = 3;

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || ::fcntl(MESSAGE_FD, F_GETFD) < 0) {
    static const char usage[] = "usage: plugin-host-scanner MODULE-PATH (descriptor 3 open)\n";
    (void)!::write(2, usage, sizeof usage - 1);
    return 2;
  }
  // Programs a plug-in starts must not keep the parent waiting on the pipe.
  ::fcntl(MESSAGE_FD, F_SETFD, FD_CLOEXEC);

  // The same host context the plug-in gets in plugin-host; it counts no
  // references and lives as long as main().
  Steinberg::Vst::HostApplication context;
  wf::hosting::setHostContext(&context);

  nlohmann::json result;
  {
    std::string error;
    auto module = wf::hosting::Module::create(argv[1], error);
    if (module) {
      result = wf::host::audioClasses(module->factory());
    } else {
      result = error;
    }
    // The module is released before the answer, as in the in-process scan:
    // its exit function is part of the scan.
  }
  const bool written = writeAll(MESSAGE_FD, wf::host::Scanner::message(result));
  // Leave without running the static destructors of a module that may have
  // left the process in any state; the answer is complete.
  ::_exit(written ? 0 : 1);
}
