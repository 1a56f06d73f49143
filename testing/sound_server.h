#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/process.h"

namespace wf::testing {

/// The sound servers the end-to-end tests run against: PulseAudio itself, and
/// PipeWire with its PulseAudio-compatible server, as most desktops run it.
enum class SoundServerKind { pulseaudio, pipewire };

/// "PulseAudio" or "PipeWire", for test names.
std::string nameOf(SoundServerKind kind);

/// A private sound server that a test starts itself: its own runtime
/// directory and socket, a 440 Hz sine source named "sine" (described as
/// "Sine source at 440 Hz", amplitude 0.5 on every channel, 48000 Hz) set as
/// the default source, and a stereo null sink. Nothing of a user session is
/// touched; everything is killed when the object goes away.
class SoundServer {
 public:
  virtual ~SoundServer() = default;

  virtual SoundServerKind kind() const = 0;
  /// True once the server answers on its socket with its sine source.
  virtual bool ready() const = 0;
  /// Environment for clients of this server.
  virtual std::vector<std::pair<std::string, std::string>> clientEnv() const = 0;
  /// Runs pactl against this server; returns its standard output.
  virtual std::string pactl(const std::vector<std::string>& args,
                            ExitStatus* status = nullptr) const = 0;

  /// Channels of the sine source.
  virtual uint32_t sineChannels() const = 0;
  /// Removes the sine source while it may be in use, as an unplugged device.
  virtual bool removeSine() = 0;

  /// Kills the whole server (SIGKILL), as a crash would.
  virtual void kill() = 0;
  /// Stops the whole server (SIGSTOP): it keeps its socket and answers
  /// nothing, like a hung server.
  virtual void pause() = 0;
  /// Stops only the part that makes streams, where there is one (PipeWire's
  /// core: its pulse server still answers device listings, and carries out
  /// stream requests once the core goes on); otherwise the same as `pause`.
  virtual void pauseCore() = 0;
  /// Lets a paused server go on (SIGCONT to everything stopped).
  virtual void resume() = 0;
  /// Starts the server again with the same devices at the same socket,
  /// after `kill`; true once it answers.
  virtual bool restart() = 0;

  /// The server's recording streams ("source outputs") as pactl lists them:
  /// one line each, "<index>\t<source index>\t...".
  std::vector<std::string> recordingStreams() const;
};

/// Starts a private server of `kind`.
std::unique_ptr<SoundServer> startSoundServer(SoundServerKind kind);

}  // namespace wf::testing
