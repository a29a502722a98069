#include "FnRemapKit/FnGuard.hpp"

#include <algorithm>
#include <ostream>

namespace FnRemapKit {

namespace FnGuard::detail {

bool containsEntry(const KeyMappingList &list, const KeyMappingEntry &ours) {
  return std::ranges::find(list, ours) != list.end();
}

std::string errorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

} // namespace FnGuard::detail

std::ostream &operator<<(std::ostream &out, const FnGuardOutcome &outcome) {
  switch (outcome.kind()) {
  case FnGuardOutcome::Kind::removed:
    return out << "removed";
  case FnGuardOutcome::Kind::alreadyGone:
    return out << "alreadyGone";
  case FnGuardOutcome::Kind::failed:
    break;
  }
  return out << "failed(" << outcome.message() << ")";
}

} // namespace FnRemapKit
