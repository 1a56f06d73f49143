#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/process.h"
#include "testing/sound_server.h"
#include "testing/temp_dir.h"

namespace wf::testing {

/// A private PulseAudio daemon for one test: its own runtime directory and
/// socket, a stereo null sink "nullsink" and a 440 Hz mono sine source "sine"
/// (amplitude 0.5) at 48000 Hz, both set as defaults. Nothing of a user
/// session is touched. The daemon is killed when the object goes away.
class PulseServer : public SoundServer {
 public:
  PulseServer();
  ~PulseServer() override;

  SoundServerKind kind() const override { return SoundServerKind::pulseaudio; }
  /// True once the daemon answers on its socket.
  bool ready() const override { return ready_; }
  /// "unix:<socket>": the value for PULSE_SERVER.
  std::string serverAddress() const;
  /// Environment for clients of this daemon (PULSE_SERVER, HOME, runtime path).
  std::vector<std::pair<std::string, std::string>> clientEnv() const override;
  /// Runs pactl against this daemon; returns its standard output.
  std::string pactl(const std::vector<std::string>& args,
                    ExitStatus* status = nullptr) const override;
  /// Index of the module that provides the sine source.
  int sineModule() const;

  uint32_t sineChannels() const override { return 1; }
  /// Unloads the sine source's module.
  bool removeSine() override;

  /// Kills the daemon (SIGKILL) and reaps it, as a crash would.
  void kill() override;
  /// Stops the daemon (SIGSTOP): it keeps its socket and answers nothing,
  /// like a hung server.
  void pause() override;
  /// The daemon makes streams itself: the same as `pause`.
  void pauseCore() override { pause(); }
  /// Lets a paused daemon go on (SIGCONT).
  void resume() override;
  /// Starts a new daemon with the same devices at the same socket, after
  /// `kill`; true once it answers.
  bool restart() override;

 private:
  void start();

  TempDir dir_;
  Child daemon_;
  bool ready_ = false;
};

}  // namespace wf::testing
