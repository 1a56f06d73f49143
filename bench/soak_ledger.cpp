#include "bench/soak_ledger.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace wf::soak {

using nlohmann::json;

namespace {

constexpr size_t MAX_PROBLEMS = 10;

// The sample block reply the worker writes: {"id":N,"result":[x,...]}.
// Anything else, or a number that is not exactly a float, leaves the line to
// the JSON library.
bool readBlockReply(std::string_view line, Reply& reply) {
  constexpr std::string_view HEAD = "{\"id\":";
  constexpr std::string_view RESULT = ",\"result\":[";
  if (line.substr(0, HEAD.size()) != HEAD) {
    return false;
  }
  const char* p = line.data() + HEAD.size();
  const char* end = line.data() + line.size();
  uint64_t id = 0;
  auto read = std::from_chars(p, end, id);
  if (read.ec != std::errc() ||
      std::string_view(read.ptr, end).substr(0, RESULT.size()) != RESULT) {
    return false;
  }
  p = read.ptr + RESULT.size();
  std::vector<float> samples;
  samples.reserve(2048);
  if (p < end && *p == ']') {
    ++p;
  } else {
    for (;;) {
      double value = 0;
      read = std::from_chars(p, end, value);
      if (read.ec != std::errc() || static_cast<double>(static_cast<float>(value)) != value) {
        return false;
      }
      samples.push_back(static_cast<float>(value));
      p = read.ptr;
      if (p < end && *p == ',') {
        ++p;
        continue;
      }
      if (p < end && *p == ']') {
        ++p;
        break;
      }
      return false;
    }
  }
  if (std::string_view(p, end) != "}") {
    return false;
  }
  reply.valid = true;
  reply.id = id;
  reply.hasResult = true;
  reply.samples = std::move(samples);
  return true;
}

std::string describe(const Reply& reply) {
  if (reply.error) {
    return "error \"" + *reply.error + "\"";
  }
  if (reply.samples) {
    return std::to_string(reply.samples->size()) + " samples";
  }
  if (reply.hasResult) {
    return "result " + reply.result.dump().substr(0, 120);
  }
  return "neither result nor error";
}

}  // namespace

float gainFactor(double value) {
  return 2.0f * static_cast<float>(value);
}

ChainModel::ChainModel(int latencyFrames)
    : latency_(latencyFrames), ring_(static_cast<size_t>(2 * std::max(latencyFrames, 0)), 0.0f) {}

std::vector<float> ChainModel::delay(const std::vector<float>& block) {
  if (latency_ <= 0) {
    return block;
  }
  std::vector<float> out(block.size());
  for (size_t k = 0; k + 1 < block.size(); k += 2) {
    out[k] = ring_[2 * position_];
    out[k + 1] = ring_[2 * position_ + 1];
    ring_[2 * position_] = block[k];
    ring_[2 * position_ + 1] = block[k + 1];
    position_ = (position_ + 1) % static_cast<size_t>(latency_);
  }
  return out;
}

std::vector<float> ChainModel::applyGains(std::vector<float> delayed, const Gains& values) {
  for (double value : values) {
    const float factor = gainFactor(value);
    for (float& sample : delayed) {
      sample *= factor;
    }
  }
  return delayed;
}

Reply parseReply(std::string_view line) {
  Reply reply;
  if (readBlockReply(line, reply)) {
    return reply;
  }
  reply = Reply{};
  const json value = json::parse(line, nullptr, false);
  if (!value.is_object()) {
    return reply;
  }
  reply.valid = true;
  if (const auto id = value.find("id"); id != value.end() && id->is_number_unsigned()) {
    reply.id = id->get<uint64_t>();
  }
  if (const auto error = value.find("error"); error != value.end()) {
    reply.error = error->is_string() ? error->get<std::string>() : error->dump();
  }
  if (const auto result = value.find("result"); result != value.end()) {
    reply.hasResult = true;
    reply.result = *result;
  }
  return reply;
}

Ledger::Ledger(ChainModel model, const Gains& initial)
    : model_(std::move(model)), current_(initial) {}

void Ledger::sentBlock(uint64_t id, const std::vector<float>& block, bool accepted, double sentAt) {
  Request request{Kind::Block, sentAt};
  request.accepted = accepted;
  request.shortBlock = block.size() == 512;
  if (accepted) {
    request.delayed = model_.delay(block);
    request.gains = current_;
    if (change_ && !change_->confirmed) {
      request.eitherSideOf = change_->id;
      ++change_->eitherSide;
    }
  }
  requests_.emplace(id, std::move(request));
  blocks_.push_back(id);
  highestSent_ = std::max(highestSent_, id);
}

void Ledger::sentChange(uint64_t id, int insert, double value, double sentAt) {
  // Every accepted block still in flight may be processed after the change
  // lands, or before it.
  change_ = Change{id, insert, value};
  for (uint64_t block : blocks_) {
    Request& request = requests_.at(block);
    if (request.accepted) {
      request.eitherSideOf = id;
      ++change_->eitherSide;
    }
  }
  Request request{Kind::Change, sentAt};
  request.insert = insert;
  request.value = value;
  requests_.emplace(id, request);
  highestSent_ = std::max(highestSent_, id);
}

void Ledger::sentRefusedChange(uint64_t id, double sentAt) {
  requests_.emplace(id, Request{Kind::RefusedChange, sentAt});
  highestSent_ = std::max(highestSent_, id);
}

void Ledger::sentReadBack(uint64_t id, int insert, double sentAt) {
  Request request{Kind::ReadBack, sentAt};
  request.insert = insert;
  request.value = lastSent(insert);
  requests_.emplace(id, request);
  highestSent_ = std::max(highestSent_, id);
}

double Ledger::lastSent(int insert) const {
  if (change_ && change_->insert == insert) {
    return change_->value;
  }
  return current_[static_cast<size_t>(insert)];
}

std::optional<Ledger::Answered> Ledger::received(const Reply& reply) {
  if (!reply.valid || !reply.id) {
    ++counts_.unexpected;
    problem("a reply without a usable id: " + describe(reply));
    return std::nullopt;
  }
  const uint64_t id = *reply.id;
  const auto found = requests_.find(id);
  if (found == requests_.end()) {
    if (id <= highestSent_) {
      ++counts_.duplicated;
      problem("a second reply to request " + std::to_string(id));
    } else {
      ++counts_.unexpected;
      problem("a reply to request " + std::to_string(id) + ", which was never sent");
    }
    return std::nullopt;
  }
  Request request = std::move(found->second);
  requests_.erase(found);
  switch (request.kind) {
    case Kind::Block:
      checkBlock(id, request, reply);
      break;
    case Kind::Change:
      checkChange(id, request, reply);
      break;
    case Kind::RefusedChange:
      checkRefusedChange(id, reply);
      break;
    case Kind::ReadBack:
      checkReadBack(id, request, reply);
      break;
  }
  closeChangeIfSettled();
  return Answered{request.kind, request.sentAt};
}

void Ledger::checkBlock(uint64_t id, Request& request, const Reply& reply) {
  if (blocks_.front() != id) {
    ++counts_.outOfOrder;
    problem("block " + std::to_string(id) + " answered before block " +
            std::to_string(blocks_.front()));
  }
  blocks_.erase(std::find(blocks_.begin(), blocks_.end(), id));

  if (!request.accepted) {
    if (reply.error == "Invalid audio block size" && !reply.hasResult) {
      ++counts_.refusedBlocks;
    } else {
      ++counts_.mismatched;
      problem("block " + std::to_string(id) + " of a refused size: " + describe(reply));
    }
    return;
  }

  const bool either = change_ && request.eitherSideOf == change_->id;
  if (either) {
    --change_->eitherSide;
  }
  if (!reply.samples || reply.error) {
    ++counts_.mismatched;
    problem("block " + std::to_string(id) + ": " + describe(reply));
    return;
  }
  const std::vector<float> before = ChainModel::applyGains(request.delayed, request.gains);
  const bool isBefore = *reply.samples == before;
  bool isAfter = false;
  if (either) {
    Gains changed = request.gains;
    changed[static_cast<size_t>(change_->insert)] = change_->value;
    isAfter = *reply.samples == ChainModel::applyGains(std::move(request.delayed), changed);
  }
  if (!isBefore && !isAfter) {
    ++counts_.mismatched;
    const std::vector<float>& got = *reply.samples;
    if (got.size() != before.size()) {
      problem("block " + std::to_string(id) + ": " + std::to_string(got.size()) + " samples for " +
              std::to_string(before.size()));
      return;
    }
    size_t k = 0;
    while (k < got.size() && got[k] == before[k]) {
      ++k;
    }
    char text[160];
    std::snprintf(text, sizeof text, "block %llu: sample %zu is %.9g, the chain makes %.9g%s",
                  static_cast<unsigned long long>(id), k, static_cast<double>(got[k]),
                  static_cast<double>(before[k]), either ? " (or the changed value's)" : "");
    problem(text);
    return;
  }
  if (either && isAfter && !isBefore) {
    change_->seen = true;
  } else if (either && isBefore && !isAfter && change_->seen) {
    ++counts_.mismatched;
    problem("block " + std::to_string(id) + " shows the value from before a change that an " +
            "earlier block already showed");
    return;
  }
  ++counts_.blocks;
  counts_.shortBlocks += request.shortBlock ? 1 : 0;
}

void Ledger::checkChange(uint64_t id, const Request& request, const Reply& reply) {
  const bool confirmed = !reply.error && reply.hasResult && reply.result == json(true);
  if (!change_ || change_->id != id) {
    // Cannot happen while only one change is open; kept so that a misuse of
    // the ledger shows rather than corrupts the expectations.
    ++counts_.mismatched;
    problem("change " + std::to_string(id) + " answered while not open");
    return;
  }
  if (!confirmed) {
    ++counts_.mismatched;
    problem("change " + std::to_string(id) + ": " + describe(reply));
    // Whether the host applied it is unknown; blocks from here on are
    // expected with the old value, so a wrong guess shows as a mismatch too.
    change_.reset();
    return;
  }
  change_->confirmed = true;
  current_[static_cast<size_t>(request.insert)] = request.value;
  ++counts_.changesApplied;
}

void Ledger::checkRefusedChange(uint64_t id, const Reply& reply) {
  if (reply.error == "Invalid value" && !reply.hasResult) {
    ++counts_.refusedChanges;
    return;
  }
  ++counts_.mismatched;
  problem("out-of-range change " + std::to_string(id) + ": " + describe(reply));
}

void Ledger::checkReadBack(uint64_t id, const Request& request, const Reply& reply) {
  const json* gain = nullptr;
  if (!reply.error && reply.result.is_array()) {
    for (const json& record : reply.result) {
      if (record.is_object() && record.value("id", json()) == json(0)) {
        gain = &record;
      }
    }
  }
  if (gain && gain->value("value", json()).is_number() &&
      gain->at("value").get<double>() == request.value) {
    ++counts_.readBacks;
    return;
  }
  ++counts_.mismatched;
  problem("parameters " + std::to_string(id) + " of gain insert " + std::to_string(request.insert) +
          " should show " + std::to_string(request.value) + ": " + describe(reply));
}

void Ledger::closeChangeIfSettled() {
  if (change_ && change_->confirmed && change_->eitherSide == 0) {
    change_.reset();
  }
}

void Ledger::giveUp() {
  for (const auto& [id, request] : requests_) {
    ++counts_.lost;
    problem("no reply to request " + std::to_string(id));
  }
  requests_.clear();
  blocks_.clear();
  change_.reset();
}

void Ledger::problem(std::string text) {
  if (problems_.size() < MAX_PROBLEMS) {
    problems_.push_back(std::move(text));
  }
}

double quantile(std::vector<double>& values, double q) {
  if (values.empty()) {
    return 0.0;
  }
  const auto index = std::min(values.size() - 1, static_cast<size_t>(q * values.size()));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
  return values[index];
}

}  // namespace wf::soak
