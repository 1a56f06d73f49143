#include "channel/registry.h"

namespace wf::host {

void Registry::addChainOperation(const std::string& op, ChainOperation operation) {
  chainOperations_[op] = std::move(operation);
}

void Registry::addInsertOperation(const std::string& op, InsertOperation operation) {
  insertOperations_[op] = std::move(operation);
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
