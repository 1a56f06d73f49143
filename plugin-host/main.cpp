// plugin-host: hosts a chain of VST3 inserts for the front end, which talks to
// it with one JSON request per line on standard input and reads one JSON reply
// per line on standard output. Command-line arguments are ignored.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "channel/event_wait.h"
#include "channel/process_skeleton.h"
#include "editor/desktop_event_pump.h"
#include "editor/editor_ops.h"
#include "editor/editor_window.h"
#include "hosting/host_context.h"
#include "operations/register_operations.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

int main() {
  // A front end that stops reading must not kill the host mid-write; the
  // write then fails and the host ends at the end of its input.
  std::signal(SIGPIPE, SIG_IGN);

  std::shared_ptr<wf::host::EventWait> wait = wf::host::makeEventWait();
  if (!wait) {
    std::fputs("event wait could not be created\n", stderr);
    return 1;
  }
  auto pump = std::make_unique<wf::editor::DesktopEventPump>(wf::editor::sharedDesktop());

  // HostApplication counts no references: it lives exactly as long as main().
  Steinberg::Vst::HostApplication context;
  wf::hosting::setHostContext(&context);

  wf::host::Registry registry;
  wf::host::registerOperations(registry);
  wf::editor::registerEditorOperations(registry);

  try {
    wf::host::ProcessSkeleton skeleton(registry, std::move(pump), std::move(wait), 0, 1);
    skeleton.run();
  } catch (const std::system_error&) {
    std::fputs("thread constructor failed\n", stderr);
    std::abort();
  }
  wf::hosting::setHostContext(nullptr);
  return 0;
}
