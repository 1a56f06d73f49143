#include "testing/sound_server.h"

#include <sstream>

#include "testing/pipewire_server.h"
#include "testing/pulse_server.h"

namespace wf::testing {

std::string nameOf(SoundServerKind kind) {
  return kind == SoundServerKind::pulseaudio ? "PulseAudio" : "PipeWire";
}

std::vector<std::string> SoundServer::recordingStreams() const {
  std::istringstream in(pactl({"list", "source-outputs", "short"}));
  std::vector<std::string> streams;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) {
      streams.push_back(line);
    }
  }
  return streams;
}

std::unique_ptr<SoundServer> startSoundServer(SoundServerKind kind) {
  if (kind == SoundServerKind::pipewire) {
    return std::make_unique<PipeWireServer>();
  }
  return std::make_unique<PulseServer>();
}

}  // namespace wf::testing
