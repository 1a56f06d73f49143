#pragma once

#include <string>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace wf::testing {

/// A private nginx with the RTMP module for one test: its own directory,
/// configuration, logs and pid file, listening on a free loopback port, with
/// one application "live" that records every published stream to
/// `<dir>/rec/<key>.flv`. nginx runs in the foreground as the test's child
/// and is killed when the object goes away.
class RtmpServer {
 public:
  RtmpServer();
  ~RtmpServer();
  RtmpServer(const RtmpServer&) = delete;
  RtmpServer& operator=(const RtmpServer&) = delete;

  /// True once the server accepts connections.
  bool ready() const { return ready_; }
  int port() const { return port_; }
  /// The publishing URL of stream `key`: rtmp://127.0.0.1:<port>/live/<key>.
  std::string url(const std::string& key) const;
  /// Where the recording of stream `key` is written.
  std::string recording(const std::string& key) const;
  /// True while nginx holds the recording of stream `key` open: it closes
  /// the file once the stream's publisher has gone and the recording is
  /// finished.
  bool recordingOpen(const std::string& key) const;
  /// nginx's error log so far, for failure messages.
  std::string log() const;

  /// Kills the server, as a crash would: publishers lose their connection.
  void kill();
  /// Starts the server again on the same port and configuration (a
  /// recording of a key already published is started afresh by nginx, so
  /// tests that restart read a key's recording in between); true once it
  /// accepts connections.
  bool restart();

 private:
  bool launch();

  TempDir dir_;
  Child daemon_;
  int port_ = 0;
  bool ready_ = false;
};

}  // namespace wf::testing
