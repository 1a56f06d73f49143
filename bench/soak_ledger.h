#pragma once

// The judging half of the plugin-host soak, free of I/O: what the soak chain
// must answer for each block, and a ledger of the requests in flight that
// holds every reply against its request. The driver (soak_plugin_host.cpp)
// only writes lines, reads lines and samples the process.
//
// The soak chain is one delay insert (the latency test effect, whose latency
// comes from its state) followed by seven gain test effects (factor
// 2 x normalised value). The delay comes first so that its history never
// depends on which side of a parameter change a block fell, and its history
// makes every reply depend on every earlier accepted block: a block lost,
// repeated or processed out of turn shows in the samples of the ones after it.

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace wf::soak {

constexpr int GAIN_INSERTS = 7;

/// The normalised values of the seven gain inserts, in chain order.
using Gains = std::array<double, GAIN_INSERTS>;

/// The factor the gain test effect applies for a normalised value, computed
/// as the effect computes it.
float gainFactor(double value);

/// The samples the soak chain must produce, block after block.
class ChainModel {
 public:
  /// `latencyFrames` is the delay insert's latency (0 passes blocks as they are).
  explicit ChainModel(int latencyFrames);

  /// Runs one accepted block (interleaved stereo) through the delay insert,
  /// advancing its history, and returns the delayed block.
  std::vector<float> delay(const std::vector<float>& block);

  /// The chain's output for a delayed block under the given gain values: the
  /// same float multiplications, in the same order, as the inserts make.
  static std::vector<float> applyGains(std::vector<float> delayed, const Gains& values);

 private:
  int latency_;
  std::vector<float> ring_;
  size_t position_ = 0;
};

/// One reply line as the ledger needs it.
struct Reply {
  /// False when the line is not a JSON object.
  bool valid = false;
  /// The reply's "id" when it is an unsigned integer.
  std::optional<uint64_t> id;
  bool hasResult = false;
  std::optional<std::string> error;
  /// The result as samples when it is an array of numbers that are all
  /// exactly 32-bit floats.
  std::optional<std::vector<float>> samples;
  /// The result otherwise (not filled when `samples` is).
  nlohmann::json result;
};

/// Reads a reply line. A sample block reply is read without building a
/// document value per sample, every other line with the JSON library.
Reply parseReply(std::string_view line);

/// What the ledger has seen, for the summary table.
struct Counts {
  uint64_t blocks = 0;          // accepted blocks answered with the right samples
  uint64_t shortBlocks = 0;     // of those, 256-frame blocks
  uint64_t refusedBlocks = 0;   // blocks of a refused size answered with the right error
  uint64_t changesApplied = 0;  // parameter changes confirmed and seen in the samples
  uint64_t readBacks = 0;       // "parameters" answers showing the last value sent
  uint64_t refusedChanges = 0;  // out-of-range values answered with the right error
  uint64_t lost = 0;            // requests never answered
  uint64_t duplicated = 0;      // replies to a request already answered
  uint64_t unexpected = 0;      // replies with no id or an id never sent
  uint64_t outOfOrder = 0;      // block replies overtaking an earlier block
  uint64_t mismatched = 0;      // replies with the wrong content

  uint64_t errors() const { return lost + duplicated + unexpected + outOfOrder + mismatched; }
};

/// The requests in flight and every reply held against them.
///
/// Blocks run one at a time in the order they were sent, so their replies
/// come in that order. A "parameter" runs on another thread and reaches the
/// inserts between two blocks; which block is the first to see it is known
/// only for blocks sent after its reply came back. So while one change is
/// open, every block in flight may show either value, and once a block has
/// shown the new one, no later block may show the old one. Only one change
/// is open at a time.
class Ledger {
 public:
  enum class Kind { Block, Change, RefusedChange, ReadBack };

  Ledger(ChainModel model, const Gains& initial);

  /// A "process" request has been sent. `accepted` says whether the host must
  /// take the block's size; refused blocks do not advance the chain.
  void sentBlock(uint64_t id, const std::vector<float>& block, bool accepted, double sentAt);
  /// A "parameter" request setting gain insert `insert` (0-6) to `value`.
  /// Only when no change is open.
  void sentChange(uint64_t id, int insert, double value, double sentAt);
  /// A "parameter" request with a value outside 0-1, which must be refused.
  void sentRefusedChange(uint64_t id, double sentAt);
  /// A "parameters" request for gain insert `insert`.
  void sentReadBack(uint64_t id, int insert, double sentAt);

  /// Whether a change is waiting for its reply or for the blocks that may
  /// show either value.
  bool changeOpen() const { return change_.has_value(); }
  /// The value most recently sent for gain insert `insert`.
  double lastSent(int insert) const;

  struct Answered {
    Kind kind;
    double sentAt;
  };
  /// Holds one reply against its request. Returns what it answered, or
  /// nothing for a reply that answers no request in flight.
  std::optional<Answered> received(const Reply& reply);

  /// Counts every request still in flight as lost.
  void giveUp();

  size_t inFlight() const { return requests_.size(); }
  size_t blocksInFlight() const { return blocks_.size(); }
  const Counts& counts() const { return counts_; }
  /// Descriptions of the first problems, in the order they were found.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  struct Request {
    Request(Kind k, double at) : kind(k), sentAt(at) {}
    Kind kind;
    double sentAt;
    // Blocks.
    bool accepted = false;
    bool shortBlock = false;
    std::vector<float> delayed;
    Gains gains{};
    uint64_t eitherSideOf = 0;  // the open change it may show, or 0
    // Changes and read-backs.
    int insert = 0;
    double value = 0;
  };
  struct Change {
    uint64_t id;
    int insert;
    double value;
    bool confirmed = false;
    bool seen = false;      // a block has shown the new value
    size_t eitherSide = 0;  // blocks in flight that may show either value
  };

  void problem(std::string text);
  void checkBlock(uint64_t id, Request& request, const Reply& reply);
  void checkChange(uint64_t id, const Request& request, const Reply& reply);
  void checkRefusedChange(uint64_t id, const Reply& reply);
  void checkReadBack(uint64_t id, const Request& request, const Reply& reply);
  void closeChangeIfSettled();

  ChainModel model_;
  Gains current_;
  std::optional<Change> change_;
  std::map<uint64_t, Request> requests_;
  std::deque<uint64_t> blocks_;  // block ids in flight, in the order sent
  uint64_t highestSent_ = 0;
  Counts counts_;
  std::vector<std::string> problems_;
};

/// The value at fraction `q` (0-1) of the sorted values; 0 for none.
double quantile(std::vector<double>& values, double q);

}  // namespace wf::soak
