#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/core/clock.h"
#include "bridge/encoder/child.h"
#include "bridge/encoder/encoder_process.h"
#include "bridge/encoder/payload.h"
#include "bridge/http/error.h"
#include "bridge/media/feed_segments.h"

namespace wf::bridge {

class Rendition;

/// How often the supervisor looks at the shared destinations: exits,
/// restarts due, byte counts for the live figures.
inline constexpr std::chrono::milliseconds SUPERVISE_PERIOD{100};

/// The shared mode of the program encoder. Each distinct rendition (equal
/// encoding arguments) is one encoding child, fed the program feed and read
/// back as FLV by a reader thread of its own, which splits the stream into
/// tags and queues them, shared and uncopied, to the publishing child of
/// every destination of that rendition. A supervisor thread restarts
/// publishers that end while their destination runs, and keeps the figures
/// the status reports.
///
/// Threads: the dispatch thread starts, feeds, stops and reports; the
/// readers fan tags out; the supervisor restarts. Everything they share
/// (renditions' heads and destinations, the destinations' publishers and
/// figures) is guarded by one mutex, which nobody holds while waiting for a
/// child or a thread. The feed's segmenters are the dispatch thread's alone.
class SharedEngine {
 public:
  using TimePoint = Clock::TimePoint;

  /// `clock` times the publishers' writers, the restarts and the figures.
  /// Without `supervise` no supervisor thread runs and the caller drives
  /// `tick` itself (the tests, with a fake clock).
  explicit SharedEngine(Clock& clock = steady_clock(), bool supervise = true);
  /// Ends the supervisor, then stops whatever still runs (one grace period,
  /// then kills).
  ~SharedEngine();
  SharedEngine(const SharedEngine&) = delete;
  SharedEngine& operator=(const SharedEngine&) = delete;

  /// Starts the destinations of `request` in shared mode: one encoding
  /// child per distinct rendition (reusing a running one with the same
  /// arguments when `join_running`), one publishing child per destination,
  /// each with its own log file. The checks and failure texts are those of
  /// `start_encoder`; on a failure everything this call started is stopped
  /// again. Returns one record per destination, in order, each carrying its
  /// `shared` destination.
  Result<std::vector<EncoderProcess>> start(const EncoderStartRequest& request,
                                            ChildLauncher& launcher, bool join_running);

  /// Hands one feed chunk to every encoding child: whole to a child that has
  /// had the feed from its start, and through its join gate to one started
  /// on a running feed. Returns the destinations of the encoding children
  /// whose input failed; the caller removes them from the list and discards
  /// them.
  std::vector<std::shared_ptr<SharedDestination>> feed(const SharedChunk& chunk);

  /// Kills and reaps the publishers of `destinations`, which have left the
  /// list, and the encoding children left without destinations.
  void discard(const std::vector<std::shared_ptr<SharedDestination>>& destinations);

  /// One pass of supervision at `now`: publishers that ended are reaped and
  /// scheduled for a restart (or given up), restarts that are due start,
  /// destinations whose encoding child ended fail, and byte counts are
  /// sampled for the figures.
  void tick(TimePoint now);

  /// The status members of a shared destination, added to `o` (whose other
  /// members the caller sets): the publisher's "processId", "running",
  /// "exitCode" and "diagnostic", and "bitrateKbps", "bytesReceived",
  /// "encoder", "reconnects" and "state".
  void describe(const SharedDestination& destination, nlohmann::ordered_json& o);

  /// True when the destination failed for good (given up, or its encoding
  /// child ended).
  bool failed(const SharedDestination& destination);

  Clock& clock() { return clock_; }

 private:
  friend class SharedStop;
  struct Segmenter {
    FeedSegmenter segmenter;
    std::vector<FeedEvent> events;
    uint64_t chunk_position = 0;
    // The feed from its latest keyframe fragment, so that a new encoding
    // child can start at once rather than at the next such fragment.
    FeedRewind rewind;
  };

  Result<std::shared_ptr<Rendition>> start_rendition(const std::string& program,
                                                     std::vector<std::string> args,
                                                     const std::string& demuxer,
                                                     const std::string& name,
                                                     ChildLauncher& launcher);
  void supervise();
  void read_output(Rendition* rendition);
  // With the mutex held:
  void launch_attempt(SharedDestination& d, TimePoint now);
  void end_attempt(SharedDestination& d, TimePoint now);
  void fail(SharedDestination& d);
  void unregister(SharedDestination& d);
  // Drops the segmenters no rendition reads any more (dispatch thread).
  void prune_segmenters();

  Clock& clock_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<SharedDestination>> destinations_;
  std::vector<std::shared_ptr<Rendition>> renditions_;
  // By demuxer name: the feed's structure, for encoding children that
  // start on a running feed. Dispatch thread only.
  std::map<std::string, Segmenter> segmenters_;

  std::condition_variable wake_;
  bool quit_ = false;
  std::thread supervisor_;
};

/// Stops shared destinations that have left the encoder list, and the
/// encoding children left without destinations: the encoding children's
/// input closes first, so that they flush and end and their last tags
/// still reach the publishers; then the publishers' input closes. Within
/// the caller's one grace period; what is left at its end is killed and
/// reaped. No destination stopped here is ever restarted.
class SharedStop {
 public:
  /// Detaches `destinations` (all of one engine) from supervision and
  /// closes the input of the encoding children that serve none of the
  /// others.
  explicit SharedStop(std::vector<std::shared_ptr<SharedDestination>> destinations);
  /// Waits for the children to end, up to `deadline` on `clock`, then kills
  /// and reaps the rest.
  void finish(Clock& clock, Clock::TimePoint deadline);

 private:
  SharedEngine* engine_ = nullptr;
  std::vector<std::shared_ptr<SharedDestination>> destinations_;
  std::vector<std::shared_ptr<Rendition>> renditions_;
};

}  // namespace wf::bridge
