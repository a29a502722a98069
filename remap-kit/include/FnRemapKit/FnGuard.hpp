//===- FnRemapKit/FnGuard.hpp - Wait for the parent, remove our entry -----===//
#pragma once

#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/FnGuardOutcome.hpp"
#include "FnRemapKit/KeyMappingStore.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace FnRemapKit::FnGuard {

/// The messages a failed run carries.
inline constexpr std::string_view readFailurePrefix =
    "could not read the current mapping: ";
inline constexpr std::string_view writeRefusedMessage =
    "the HID system refused the write";
inline constexpr std::string_view stillThereMessage =
    "our entry was still there after the write";

/// Blocks until process \p pid has exited. The kernel reports the exit (a
/// kernel event queue, or a process descriptor on Linux); only where it will
/// not watch this process (a sandbox, no such interface) does the wait check
/// the process at a 50 ms interval instead, a zombie counting as exited.
/// Returns at once when there is no such process and for a \p pid below 1,
/// which names no single process. A kernel event queue that cannot be
/// created ends the wait, so the caller cannot tell a real exit from that.
void waitForExit(std::int32_t pid) noexcept;

namespace detail {
/// True as soon as one entry of \p list equals \p ours.
bool containsEntry(const KeyMappingList &list, const KeyMappingEntry &ours);
/// what() of a std::exception, a fixed text for anything else.
std::string errorText(std::exception_ptr error);
} // namespace detail

/// Takes every copy of \p ours out of the store's list, keeping all other
/// entries in order, and verifies it with a fresh read. Calls, in order: one
/// read; then, only if the list holds our entry, one write of the list
/// without it; then, only after a true write, one more read. Never throws.
template <KeyMappingStore Store>
FnGuardOutcome removeOurs(const KeyMappingEntry &ours,
                          const Store &store) noexcept {
  KeyMappingList current;
  try {
    if (auto list = store.read())
      current = std::move(*list);
  } catch (...) {
    return FnGuardOutcome::failed(std::string(readFailurePrefix) +
                                  detail::errorText(std::current_exception()));
  }
  if (!detail::containsEntry(current, ours))
    return FnGuardOutcome::alreadyGone();

  std::erase(current, ours);
  if (!store.write(current))
    return FnGuardOutcome::failed(std::string(writeRefusedMessage));

  try {
    if (auto after = store.read(); after && !detail::containsEntry(*after, ours))
      return FnGuardOutcome::removed();
  } catch (...) {
    // A verifying read that fails proves nothing either way.
  }
  return FnGuardOutcome::failed(std::string(stillThereMessage));
}

/// Calls \p wait once with the parent's pid, then removes our entry. A wait
/// that throws counts as ended. Never throws.
template <KeyMappingStore Store, std::invocable<std::int32_t> Wait>
FnGuardOutcome run(const FnGuardArguments &arguments, const Store &store,
                   Wait &&wait) noexcept {
  try {
    std::invoke(std::forward<Wait>(wait), arguments.parent());
  } catch (...) {
  }
  return removeOurs(arguments.entry(), store);
}

} // namespace FnRemapKit::FnGuard
