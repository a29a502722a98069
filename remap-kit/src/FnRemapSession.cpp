#include "FnRemapKit/FnRemapSession.hpp"

#include "FnRemapKit/FnGuard.hpp"
#include "FnRemapKit/FnGuardArguments.hpp"
#include "FnRemapKit/KeyMappingLock.hpp"
#include "process/ChildProcess.hpp"
#include "process/GuardLaunch.hpp"

#include <unistd.h>

#include <string_view>
#include <utility>

namespace FnRemapKit {

using Process::endBound;

struct FnRemapSession::State {
  AnyStore store;
  KeyMappingEntry ours;
  KeyMappingList original;
  Process::ChildProcess guard;
  pid_t owner = ::getpid(); // the process that began it, the only one it acts in
  bool installed = false;   // our entry is written and not yet restored

  State(AnyStore store, KeyMappingEntry ours) : store(std::move(store)), ours(std::move(ours)) {}
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  // A guard with nothing left to guard is ended; one whose entry could not
  // be restored is kept to remove it when we exit. A forked child holds a
  // copy of the state, and none of it is the child's to act on.
  ~State() {
    if (::getpid() != owner)
      return;
    if (installed)
      end(std::chrono::milliseconds{0}); // the lock once: the guard removes it anyway
    else
      guard.terminate(endBound);
  }

  // Starts the guard and returns once it is watching us; throws, with the
  // guard ended, when it cannot be started or does not say so.
  void startGuard(const std::string &path) {
    const auto usage = [&](std::string_view key) { return ours.at(std::string(key)); };
    Process::launchGuard(guard, path, usage(FnRemapMapping::srcKey), usage(FnRemapMapping::dstKey));
  }

  Ending end(std::chrono::milliseconds lockBound = KeyMappingLock::defaultBound) noexcept {
    if (::getpid() != owner)
      return {false, "the session belongs to process " + std::to_string(owner) + ", not to this one"};
    if (!installed)
      return {true, {}};
    try {
      const auto lock = KeyMappingLock::acquire(lockBound);
      if (!lock)
        return {false, lock.error()};
      KeyMappingList current;
      try {
        current = store.read().value_or(KeyMappingList{});
      } catch (...) {
        return {false, "cannot read the key mapping: " +
                           FnGuard::detail::errorText(std::current_exception())};
      }
      if (!store.write(FnRemapMapping::restoring(current, ours, original)))
        return {false, "the HID system refused the restored list"};
    } catch (const std::exception &error) {
      return {false, std::string("cannot restore the key mapping: ") + error.what()};
    }
    installed = false;
    guard.terminate(endBound);
    return {true, {}};
  }
};

FnRemapSession FnRemapSession::beginOver(const std::string &guardPath, const KeyMappingEntry &ours,
                                         AnyStore store) {
  if (ours.size() != 2 || !ours.contains(std::string(FnRemapMapping::srcKey)) ||
      !ours.contains(std::string(FnRemapMapping::dstKey)))
    throw std::invalid_argument("a session's entry holds exactly the keys " +
                                std::string(FnRemapMapping::srcKey) + " and " +
                                std::string(FnRemapMapping::dstKey));
  // On any way out from here, the state's destructor ends the guard.
  auto state = std::make_unique<State>(std::move(store), ours);
  state->startGuard(guardPath);
  // Only now, with the guard watching us, may the remap go in; and only
  // under the lock, so that no other writer's change is lost.
  const auto lock = KeyMappingLock::acquire();
  if (!lock)
    throw FnRemapSessionError(lock.error());
  try {
    state->original = state->store.read().value_or(KeyMappingList{});
  } catch (...) {
    throw FnRemapSessionError("cannot read the key mapping: " +
                              FnGuard::detail::errorText(std::current_exception()));
  }
  if (!state->store.write(FnRemapMapping::merging(state->original, ours)))
    throw FnRemapSessionError("the HID system refused the remap");
  state->installed = true;
  return FnRemapSession(std::move(state));
}

FnRemapSession::FnRemapSession(std::unique_ptr<State> state) noexcept : state(std::move(state)) {}
FnRemapSession::FnRemapSession(FnRemapSession &&) noexcept = default;
FnRemapSession &FnRemapSession::operator=(FnRemapSession &&) noexcept = default;
FnRemapSession::~FnRemapSession() = default;

pid_t FnRemapSession::guardPid() noexcept {
  if (!state || ::getpid() != state->owner)
    return 0;
  return state->guard.pid();
}

FnRemapSession::Ending FnRemapSession::end() noexcept {
  if (!state)
    return {false, "the session holds no remap: it was moved from"};
  return state->end();
}

} // namespace FnRemapKit
