#pragma once

#include <string>
#include <utility>
#include <vector>

#include "testing/process.h"
#include "testing/sound_server.h"
#include "testing/temp_dir.h"

namespace wf::testing {

/// A private PipeWire for one test, started as a desktop session would run
/// it but without one: a session bus of its own (dbus-daemon), the core
/// (pipewire), the session manager (wireplumber) and the PulseAudio-
/// compatible server (pipewire-pulse), all with Debian's configurations and
/// with HOME, XDG_RUNTIME_DIR and the XDG config, state and data folders in
/// one temporary directory. A configuration fragment there adds the test
/// source factory, of which the sine source is made; its volume is set so
/// that each channel has amplitude 0.5. Clients find the pulse server's
/// socket through XDG_RUNTIME_DIR.
class PipeWireServer : public SoundServer {
 public:
  PipeWireServer();
  ~PipeWireServer() override;

  SoundServerKind kind() const override { return SoundServerKind::pipewire; }
  bool ready() const override { return ready_; }
  std::vector<std::pair<std::string, std::string>> clientEnv() const override;
  std::string pactl(const std::vector<std::string>& args,
                    ExitStatus* status = nullptr) const override;

  /// The test source has the server's default two channels.
  uint32_t sineChannels() const override { return 2; }
  /// Destroys the sine node.
  bool removeSine() override;
  /// Makes the sine source afresh (it can go silent for good after one of
  /// its readers was killed, or after the core was stopped); true once the
  /// pulse server lists it at its volume.
  bool recreateSine();

  void kill() override;
  void pause() override;
  /// SIGSTOP to the core alone.
  void pauseCore() override;
  void resume() override;
  bool restart() override;

 private:
  void start();
  void stopAll();
  /// The environment of the server's own processes and of pw-cli.
  std::vector<std::pair<std::string, std::string>> serverEnv() const;
  std::string pwCli(const std::vector<std::string>& args, ExitStatus* status = nullptr) const;
  /// Global id of the node named "sine", or -1.
  int sineNode() const;

  TempDir dir_;
  Child bus_;
  Child core_;
  Child session_;
  Child pulse_;
  bool ready_ = false;
};

}  // namespace wf::testing
