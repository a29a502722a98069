// SPDX-License-Identifier: Apache-2.0
//===- FnRemapKit/FnGuardOutcome.hpp - The result of one guard run --------===//
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

namespace FnRemapKit {

/// removed: our entry was in the list, the list without it was written, and a
/// fresh read no longer holds it. alreadyGone: no entry equal to ours (or no
/// list); nothing was written. kept: the entry stays, since a live hold of
/// another application names it too; holder() is that application. failed:
/// the run did not establish that the entry is gone, and message() says why.
class FnGuardOutcome {
public:
  enum class Kind { removed, alreadyGone, kept, failed };

  static FnGuardOutcome removed() { return FnGuardOutcome(Kind::removed, {}); }
  static FnGuardOutcome alreadyGone() {
    return FnGuardOutcome(Kind::alreadyGone, {});
  }
  static FnGuardOutcome kept(std::int32_t holder) {
    FnGuardOutcome outcome(Kind::kept, {});
    outcome.keptFor = holder;
    return outcome;
  }
  static FnGuardOutcome failed(std::string message) {
    return FnGuardOutcome(Kind::failed, std::move(message));
  }

  Kind kind() const noexcept { return outcomeKind; }
  /// Empty unless kind() is Kind::failed.
  const std::string &message() const noexcept { return failureMessage; }
  /// The application whose hold kept the entry; 0 unless kind() is
  /// Kind::kept.
  std::int32_t holder() const noexcept { return keptFor; }

  /// Same kind and, for failed, the same message; for kept, the same holder.
  friend bool operator==(const FnGuardOutcome &,
                         const FnGuardOutcome &) = default;

  /// "removed", "alreadyGone", "kept(<holder>)" or "failed(<message>)".
  friend std::ostream &operator<<(std::ostream &, const FnGuardOutcome &);

private:
  FnGuardOutcome(Kind kind, std::string message)
      : outcomeKind(kind), failureMessage(std::move(message)) {}

  Kind outcomeKind;
  std::string failureMessage;
  std::int32_t keptFor = 0;
};

} // namespace FnRemapKit
