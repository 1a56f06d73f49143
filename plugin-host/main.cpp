// plugin-host: hosts a chain of VST3 inserts for the front end, which talks to
// it with one JSON request per line on standard input and reads one JSON reply
// per line on standard output. Command-line arguments are ignored.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "channel/event_pump.h"
#include "channel/host.h"
#include "hosting/host_context.h"
#include "operations/register_operations.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

int main() {
  // A front end that stops reading must not kill the host mid-write; the
  // write then fails and the host ends at the end of its input.
  std::signal(SIGPIPE, SIG_IGN);

  auto pump = wf::host::makeEventPump();

  // HostApplication counts no references: it lives exactly as long as main().
  Steinberg::Vst::HostApplication context;
  wf::hosting::setHostContext(&context);

  wf::host::Registry registry;
  wf::host::registerOperations(registry);

  try {
    wf::host::Host host(registry, std::move(pump), 0, 1);
    host.run();
  } catch (const std::system_error&) {
    std::fputs("thread constructor failed\n", stderr);
    std::abort();
  }
  wf::hosting::setHostContext(nullptr);
  return 0;
}
