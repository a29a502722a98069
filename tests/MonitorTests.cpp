// The session's monitor with real guards and the stand-in: a killed guard
// replaced, a stopped one not, one that cannot be started again, and end()
// racing a replacement. The signals come from processes other than the
// application, as a user's or the system's would.
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include "support/ProcessIdentity.hpp"

#include <poll.h>

#include <atomic>
#include <mutex>

using namespace FnRemapKit;
using namespace TestSupport;
using Event = FnRemapSession::Event;

namespace {

const KeyMappingEntry ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
const KeyMappingList original = {FnRemapMapping::entry(0x700000039, 0x7000000E0),
                                 FnRemapMapping::entry(FnRemapMapping::fnSource, 0x700000068)};
const KeyMappingList remapped = FnRemapMapping::merging(original, ours);

/// What a session's handler heard, in order.
class Heard {
public:
  FnRemapSession::EventHandler handler() {
    return [this](Event event) {
      const std::lock_guard guard(access);
      events.push_back(event);
    };
  }
  std::vector<Event> events_() {
    const std::lock_guard guard(access);
    return events;
  }
  bool eventuallyHeard(std::size_t count) {
    return eventually([&] { return events_().size() >= count; }, 10s);
  }

private:
  std::mutex access;
  std::vector<Event> events;
};

bool noChildren() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

/// Sends \p signal to \p pid from a process of its own.
void signalFromStranger(pid_t pid, int signal) {
  Child stranger([&] { ::_exit(::kill(pid, signal) == 0 ? 0 : 1); });
  ASSERT_EQ(stranger.wait(), 0);
}

class MonitorTest : public KeyMappingTest {
protected:
  MonitorTest() : KeyMappingTest(original) {}
};

// An application in a process of its own: it begins, says its guard's pid
// and then each event with the guard's pid at that moment, one line each.
class Application {
public:
  Application() {
    int reply[2];
    if (::pipe(reply) != 0)
      throw std::runtime_error("no pipe");
    process = std::make_unique<Child>([&] {
      ::close(reply[0]);
      const auto say = [out = reply[1]](const std::string &text) { (void)!::write(out, text.data(), text.size()); };
      auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
      session.onEvent([&](Event event) {
        say(std::to_string(static_cast<int>(event)) + " " + std::to_string(session.guardPid()) + "\n");
      });
      say("0 " + std::to_string(session.guardPid()) + "\n");
      sleepForever();
    });
    ::close(reply[1]);
    lines = ::fdopen(reply[0], "r");
  }
  ~Application() {
    ::kill(process->pid(), SIGKILL);
    process->wait();
    std::fclose(lines);
  }
  /// The next line's event (0 for the begin) and guard pid; nothing after 10 s.
  std::optional<std::pair<int, pid_t>> next() {
    pollfd ready{::fileno(lines), POLLIN, 0};
    char line[64];
    int event = -1, pid = 0;
    if (::poll(&ready, 1, 10'000) != 1 || !std::fgets(line, sizeof line, lines) ||
        std::sscanf(line, "%d %d", &event, &pid) != 2)
      return std::nullopt;
    return std::pair{event, static_cast<pid_t>(pid)};
  }
  /// Whether another line comes within \p limit.
  bool quietFor(std::chrono::milliseconds limit) {
    pollfd ready{::fileno(lines), POLLIN, 0};
    return ::poll(&ready, 1, static_cast<int>(limit.count())) == 0;
  }
  pid_t pid() const { return process->pid(); }

private:
  std::unique_ptr<Child> process;
  FILE *lines = nullptr;
};

} // namespace

// Someone SIGKILLs the guard: within 5 s a new guard watches, the entry is
// in place, and the application hears it once. The application is then
// SIGKILLed, and the new guard puts the user's list back.
TEST_F(MonitorTest, AKilledGuardIsReplacedAndTheReplacementStillRemoves) {
  Application application;
  const auto began = application.next();
  ASSERT_TRUE(began && began->first == 0 && began->second > 0);
  const auto killedAt = std::chrono::steady_clock::now();
  signalFromStranger(began->second, SIGKILL);
  const auto replaced = application.next();
  ASSERT_TRUE(replaced) << "no event";
  EXPECT_LT(std::chrono::steady_clock::now() - killedAt, 5s);
  EXPECT_EQ(replaced->first, static_cast<int>(Event::guardReplaced));
  EXPECT_TRUE(replaced->second > 0 && replaced->second != began->second && ::kill(replaced->second, 0) == 0);
  EXPECT_EQ(store.read(), remapped);
  EXPECT_TRUE(application.quietFor(500ms)) << "more than one event";
  signalFromStranger(application.pid(), SIGKILL);
  EXPECT_TRUE(eventually([&] { return store.read() == original; })) << "the new guard did not remove the entry";
}

// A stranger's SIGTERM: the guard releases and exits 0, and that is the
// end of the remap: one Removed, no new guard. From inside the handler,
// end() is refused.
TEST_F(MonitorTest, AGuardStoppedByAStrangerIsNotReplaced) {
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
  Heard heard;
  FnRemapSession::Ending fromHandler{true, {}};
  session.onEvent([&, record = heard.handler()](Event event) {
    fromHandler = session.end();
    record(event); // after: what the test reads once it has heard
  });
  const pid_t guard = session.guardPid();
  signalFromStranger(guard, SIGTERM);
  ASSERT_TRUE(heard.eventuallyHeard(1));
  EXPECT_EQ(heard.events_(), std::vector{Event::removed});
  EXPECT_FALSE(fromHandler.restored);
  EXPECT_EQ(fromHandler.message, "called from the session's own event handler");
  EXPECT_EQ(fromHandler.code, FnRemapSessionError::Code::calledFromEventHandler);
  EXPECT_EQ(store.read(), original);
  EXPECT_EQ(session.guardPid(), 0);
  sleep_for(500ms);
  EXPECT_EQ(heard.events_().size(), 1u);
  EXPECT_TRUE(noChildren()) << "a guard was started again";
  EXPECT_TRUE(session.end().restored);
}

// The guard's file is gone after begin() (an application moved, or
// updated): no new guard can be had, so the entry must go.
TEST_F(MonitorTest, AGuardThatCannotBeStartedAgainTakesTheEntryOut) {
  const auto copy = root / "guard";
  std::filesystem::copy_file(FNGUARD_TOOL, copy);
  auto session = FnRemapSession::begin(copy.string(), ours);
  Heard heard;
  session.onEvent(heard.handler());
  std::filesystem::remove(copy);
  ::kill(session.guardPid(), SIGKILL);
  ASSERT_TRUE(heard.eventuallyHeard(1));
  EXPECT_EQ(heard.events_(), std::vector{Event::removed});
  EXPECT_EQ(store.read(), original);
  EXPECT_TRUE(eventually([&] { return session.guardPid() == 0; }));
  EXPECT_TRUE(noChildren());
  EXPECT_TRUE(session.end().restored);
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

// A hold that still names a killed guard is its replacement's: stopped by a
// stranger before its session could name it there, the new guard releases
// the entry rather than keep it for its own, live, application.
TEST_F(MonitorTest, AReplacementOwnsTheHoldThatNamesTheGuardItReplaced) {
  Child application([] { sleepForever(); });
  const auto look = lookUpProcess(application.pid());
  ASSERT_TRUE(look);
  const KeyMappingHold replaced{{application.pid(), look->start}, {goneProcess(), 1}, bootIdentifier(), ours};
  KeyMappingLedger::file().save({{replaced}, {{FnRemapMapping::fnSource, {*original[1].entry()}}}});
  ASSERT_TRUE(store.write(remapped));
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  ToolProcess guard(FNGUARD_TOOL,
                    {"tarnwick-fn-guard", std::to_string(application.pid()),
                     FnGuardArguments::formatUsage(FnRemapMapping::fnSource),
                     FnGuardArguments::formatUsage(FnRemapMapping::fnDestination)},
                    root, [&] { ::setenv("FNGUARD_READY_FD", std::to_string(report[1]).c_str(), 1); });
  ::close(report[1]);
  char said = 0;
  EXPECT_EQ(::read(report[0], &said, 1), 1);
  ::close(report[0]);
  EXPECT_EQ(said, '\n');
  signalFromStranger(guard.pid(), SIGTERM);
  EXPECT_EQ(guard.wait(), 0);
  EXPECT_EQ(store.read(), original);
  EXPECT_TRUE(KeyMappingLedger::file().peek().holds.holds.empty());
}
