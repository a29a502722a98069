// SPDX-License-Identifier: Apache-2.0
// The session's monitor with real guards and the stand-in: a killed guard
// replaced, a stopped one not, one that cannot be started again, and end()
// racing a replacement. The signals come from processes other than the
// application, as a user's or the system's would. (The replacement's
// release of a hold that names the guard it replaced is StopSignalsTests'.)
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.h>
#include <FnRemapKit/FnRemapKit.hpp>


#include <sys/resource.h>

#include <atomic>

using namespace FnRemapKit;
using namespace TestSupport;
using Event = FnRemapSession::Event;

namespace {

const KeyMappingEntry ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
const KeyMappingList original = {FnRemapMapping::entry(0x700000039, 0x7000000E0),
                                 FnRemapMapping::entry(FnRemapMapping::fnSource, 0x700000068)};
const KeyMappingList remapped = FnRemapMapping::merging(original, ours);

/// Sends \p signal to \p pid from a process of its own.
void signalFromStranger(pid_t pid, int signal) {
  Child stranger([&] { ::_exit(::kill(pid, signal) == 0 ? 0 : 1); });
  ASSERT_EQ(stranger.wait(), 0);
}

struct MonitorTest : KeyMappingTest {
  MonitorTest() : KeyMappingTest(original) {}
};

/// A line an application says: the event (0 for the begin), the guard's
/// pid at that moment, and why the monitor stopped, if it has.
struct Said { int event = -1; pid_t guard = 0; int code = 0; std::string reason; };

void sayEvent(int out, int event, FnRemapSessionRef session) {
  FnRemapErrorCode code = FnRemapErrorNone;
  char reason[256];
  FnRemapSessionGetMonitorStopReason(session, &code, reason, sizeof reason);
  Talker::say(out, std::to_string(event) + " " + std::to_string(FnRemapSessionGetGuardPID(session)) + " " +
                       std::to_string(code) + " " + reason);
}

// An application in a process of its own: it begins, runs \p afterBegin,
// and says its guard's pid and then each event, one line each. Through the
// C interface, whose calls are the C++ class's (the handler, the guard's
// pid and the reason), with its codes held to the class's by
// SessionErrorsTests.
class Application : public Talker {
public:
  explicit Application(const std::function<void()> &afterBegin = {})
      : Talker([&](int out, int) {
          const auto session = FnRemapSessionBegin(FNGUARD_TOOL, FnRemapFnSource, FnRemapFnDestination, nullptr, 0);
          FnRemapSessionSetEventHandler(session, [](FnRemapSessionRef from, FnRemapEvent event, void *to) {
            sayEvent(static_cast<int>(reinterpret_cast<std::intptr_t>(to)), event, from);
          }, reinterpret_cast<void *>(static_cast<std::intptr_t>(out)));
          if (afterBegin)
            afterBegin();
          sayEvent(out, 0, session);
          sleepForever();
        }) {}
  /// The next line; nothing after \p limit.
  std::optional<Said> next(std::chrono::milliseconds limit = 10s) {
    const auto text = line(limit);
    Said said;
    int at = 0;
    if (!text || std::sscanf(text->c_str(), "%d %d %d %n", &said.event, &said.guard, &said.code, &at) != 3)
      return std::nullopt;
    said.reason = text->substr(static_cast<std::size_t>(at));
    return said;
  }
};

} // namespace

// What the monitor cannot get past, each in an application over a key
// mapping of its own, whose guard a stranger then kills or stops: a newer
// FnRemapKit's ledger, a list the store reads with a foreign entry (once
// refused), one it cannot read (no list of entries), one descriptor left;
// and nothing. Each application runs on and hears one event: where the list
// can be read, the entry is out, or in with a new guard; else the monitor
// stops. The guard it keeps, or its replacement, removes the entry when the
// application is killed (putting back the user's list as it was).
TEST_F(MonitorTest, NothingTheMonitorMeetsEndsTheApplication) {
  namespace fs = std::filesystem;
  const auto at = [&](const fs::path &state) { ::setenv("TARNWICK_HID_STATE_DIR", (path = state).c_str(), 1); };
  const std::function<void()> oneDescriptorLeft = [] {
    const rlimit low{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &low);
    int last = -1;
    for (int fd; (fd = ::dup(0)) >= 0;)
      last = fd;
    ::close(last);
  };
  struct Cause {
    std::string name;
    std::function<void()> change; // none for the descriptors
    std::optional<Event> heard;
    std::optional<KeyMappingList> left = {}; // once the application is killed; none: without ours
  };
  const std::vector<Cause> causes = {
      {"newer ledger", [] {
         const auto ledger = KeyMappingLedger::file().path();
         std::ofstream(ledger, std::ios::trunc) << R"({"version": 2, "suspended": false})";
         ::chmod(ledger.c_str(), 0600);
       }, Event::removed},
      {"boolean", [&] { putList(R"([{"Foreign": true}, {"HIDKeyboardModifierMappingDst": 30064771296, "HIDKeyboardModifierMappingSrc": 30064771129},
                                   {"HIDKeyboardModifierMappingDst": 30064771182, "HIDKeyboardModifierMappingSrc": 1095216660483}])"); }, {}},
      {"no list of entries", [&] { putList("[1]"); }, Event::monitorStopped},
      {"one descriptor left", {}, {}},
      {"nothing", [] {}, {}, original}};
  struct Running { const Cause *cause; int signal; fs::path state; std::unique_ptr<Application> application; };
  std::vector<Running> running;
  for (const auto &cause : causes)
    for (const int signal : {SIGKILL, SIGTERM}) {
      if (!cause.change && sanitized) // their checks want descriptors of their own
        continue;
      const auto state = root / (cause.name + std::to_string(signal));
      at(state);
      ASSERT_TRUE(store.write(original));
      auto application = std::make_unique<Application>(cause.change ? nullptr : oneDescriptorLeft);
      const auto began = application->next();
      ASSERT_TRUE(began && began->guard > 0) << cause.name;
      if (cause.change)
        cause.change();
      signalFromStranger(began->guard, signal);
      running.push_back(Running{&cause, signal, state, std::move(application)});
    }
  for (const auto &[cause, signal, state, application] : running) {
    SCOPED_TRACE(cause->name + (signal == SIGKILL ? ", the guard killed" : ", the guard stopped"));
    at(state);
    const auto said = application->next(45s);
    ASSERT_TRUE(said) << "no event";
    EXPECT_TRUE(application->quietFor(1500ms)) << "more than one event";
    EXPECT_EQ(waitFor(application->pid(), 0ms), -1) << "the application ended";
    try {
      (void)store.read();
    } catch (const KeyMappingError &) {
      EXPECT_EQ(said->event, static_cast<int>(Event::monitorStopped));
      EXPECT_EQ(said->code, FnRemapErrorReadFailed);
      EXPECT_EQ(said->reason, "cannot read the key mapping: the key mapping is malformed");
      ASSERT_TRUE(store.write(remapped)); // mended, for the guard kept
    }
    const auto held = [&] { return std::ranges::count(store.read().value_or(KeyMappingList{}), ours); };
    EXPECT_EQ(said->event, static_cast<int>(cause->heard.value_or(Event(said->event))));
    EXPECT_EQ(held(), said->event == static_cast<int>(Event::removed) ? 0 : 1);
    if (said->event != static_cast<int>(Event::removed) && said->guard > 0) {
      EXPECT_EQ(::kill(said->guard, 0), 0) << "no guard kept";
      ::kill(application->pid(), SIGKILL);
      const auto left = cause->left; // a lambda may not capture a binding, as clang 14 has it
      EXPECT_TRUE(eventually([&] { return left ? store.read() == left : held() == 0; }))
          << "the guard kept did not remove the entry";
    }
  }
}

// A stranger's SIGTERM (the guard releases and exits 0), or a SIGKILL
// once the guard's file is gone (an application moved, or updated: no new
// guard can be had): that is the end of the remap, one Removed and no new
// guard. A SIGKILL with the file there: within 5 s a new guard watches, the
// entry in place, and one GuardReplaced. From inside the handler, end() is
// refused.
TEST_F(MonitorTest, AGuardKilledIsReplacedOneStoppedOrNotToBeHadAgainTakesTheEntryOut) {
  for (const auto &[signal, fileGone] : {std::pair{SIGTERM, false}, {SIGKILL, true}, {SIGKILL, false}}) {
    const bool replaced = signal == SIGKILL && !fileGone;
    SCOPED_TRACE(replaced ? "killed" : fileGone ? "killed, its file gone" : "stopped by a stranger");
    const auto copy = root / "guard";
    std::filesystem::copy_file(FNGUARD_TOOL, copy, std::filesystem::copy_options::overwrite_existing);
    auto session = FnRemapSession::begin(copy.string(), ours);
    const pid_t first = session.guardPid();
    std::atomic<int> heard = 0;
    std::atomic<bool> asExpected = true;
    FnRemapSession::Ending fromHandler{true, {}};
    session.onEvent([&, expected = replaced ? Event::guardReplaced : Event::removed](Event event) {
      fromHandler = session.end();
      asExpected = asExpected && event == expected;
      ++heard; // after: what the test reads once it has heard
    });
    if (fileGone)
      std::filesystem::remove(copy);
    const auto killedAt = std::chrono::steady_clock::now();
    signalFromStranger(first, signal);
    ASSERT_TRUE(eventually([&] { return heard > 0; }));
    EXPECT_LT(std::chrono::steady_clock::now() - killedAt, 5s);
    EXPECT_TRUE(asExpected);
    EXPECT_FALSE(fromHandler.restored);
    EXPECT_EQ(fromHandler.message, "called from the session's own event handler");
    EXPECT_EQ(fromHandler.code, FnRemapSessionError::Code::calledFromEventHandler);
    EXPECT_EQ(store.read(), replaced ? remapped : original);
    const auto guard = [&] { return session.guardPid(); };
    EXPECT_TRUE(eventually([&] { return replaced ? guard() > 0 && guard() != first && ::kill(guard(), 0) == 0 : guard() == 0; }));
    sleep_for(500ms);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(noChildren(), !replaced) << "a guard was started again, or none was";
    EXPECT_TRUE(session.end().restored);
  }
}

// end() right after the guard is killed, while the monitor replaces it:
// once end() has returned, nothing is written, no event comes and no guard
// runs. Timed at several points of the replacement.
TEST_F(MonitorTest, EndRacingAReplacementLeavesNothingAfterIt) {
  for (const auto delay : {0ms, 2ms, 10ms, 40ms}) {
    auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
    std::atomic<bool> ended = false, late = false;
    session.onEvent([&](Event) { late = late || ended; });
    ::kill(session.guardPid(), SIGKILL);
    sleep_for(delay);
    const auto ending = session.end();
    ended = true;
    EXPECT_TRUE(ending.restored) << ending.message;
    const auto after = contents();
    EXPECT_EQ(store.read(), original) << delay.count() << " ms";
    EXPECT_TRUE(noChildren()) << delay.count() << " ms";
    sleep_for(300ms);
    EXPECT_EQ(contents(), after) << "written after end() returned, " << delay.count() << " ms";
    EXPECT_FALSE(late) << "an event after end() returned, " << delay.count() << " ms";
  }
}
