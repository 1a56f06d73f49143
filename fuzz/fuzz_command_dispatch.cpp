// plugin-host's envelope and operation dispatch with no plug-in loaded: any
// line through routing, then the main thread's dispatcher or the audio
// worker's "process" path, and the reply written as a line. "scan" and
// "load" are left out of the table: they walk the disk and load modules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "channel/dispatcher.h"
#include "channel/envelope.h"
#include "channel/host_state.h"
#include "channel/registry.h"
#include "editor/editor_ops.h"
#include "operations/process.h"
#include "operations/state.h"

using namespace wf::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Registry registry = [] {
    Registry r;
    registerStateOperations(r);
    wf::editor::registerEditorOperations(r);
    return r;
  }();
  HostState host;
  QueuedLine line;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string reply;
  if (routeLine(text, line) == Route::Process) {
    reply = processRequest(line, host);
  } else if (!line.empty) {
    reply = replyLine(handleCommand(line, registry, host));
  }
  if (!line.empty &&
      (reply.empty() || reply.back() != '\n' || reply.find('\n') != reply.size() - 1)) {
    std::abort();
  }
  return 0;
}
