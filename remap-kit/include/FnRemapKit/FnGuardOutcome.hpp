//===- FnRemapKit/FnGuardOutcome.hpp - The result of one guard run --------===//
#pragma once

#include <iosfwd>
#include <string>
#include <utility>

namespace FnRemapKit {

/// removed: our entry was in the list, the list without it was written, and a
/// fresh read no longer holds it. alreadyGone: no entry equal to ours (or no
/// list); nothing was written. failed: the run did not establish that the
/// entry is gone, and message() says why.
class FnGuardOutcome {
public:
  enum class Kind { removed, alreadyGone, failed };

  static FnGuardOutcome removed() { return FnGuardOutcome(Kind::removed, {}); }
  static FnGuardOutcome alreadyGone() {
    return FnGuardOutcome(Kind::alreadyGone, {});
  }
  static FnGuardOutcome failed(std::string message) {
    return FnGuardOutcome(Kind::failed, std::move(message));
  }

  Kind kind() const noexcept { return outcomeKind; }
  /// Empty unless kind() is Kind::failed.
  const std::string &message() const noexcept { return failureMessage; }

  /// Same kind and, for failed, the same message.
  friend bool operator==(const FnGuardOutcome &,
                         const FnGuardOutcome &) = default;

  /// "removed", "alreadyGone" or "failed(<message>)".
  friend std::ostream &operator<<(std::ostream &, const FnGuardOutcome &);

private:
  FnGuardOutcome(Kind kind, std::string message)
      : outcomeKind(kind), failureMessage(std::move(message)) {}

  Kind outcomeKind;
  std::string failureMessage;
};

} // namespace FnRemapKit
