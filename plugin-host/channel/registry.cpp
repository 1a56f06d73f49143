#include "channel/registry.h"

namespace wf::host {

PendingCommand::~PendingCommand() = default;

void Registry::addChainOperation(const std::string& op, ChainOperation operation) {
  chainOperations_[op] = std::move(operation);
}

void Registry::addInsertOperation(const std::string& op, InsertOperation operation) {
  insertOperations_[op] = std::move(operation);
}

void Registry::addDeferredOperation(const std::string& op, DeferredOperation operation) {
  deferredOperations_[op] = std::move(operation);
}

const DeferredOperation* Registry::deferredOperation(const std::string& op) const {
  auto it = deferredOperations_.find(op);
  return it == deferredOperations_.end() ? nullptr : &it->second;
}

const ChainOperation* Registry::chainOperation(const std::string& op) const {
  auto it = chainOperations_.find(op);
  return it == chainOperations_.end() ? nullptr : &it->second;
}

const InsertOperation* Registry::insertOperation(const std::string& op) const {
  auto it = insertOperations_.find(op);
  return it == insertOperations_.end() ? nullptr : &it->second;
}

}  // namespace wf::host
