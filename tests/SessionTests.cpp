// SPDX-License-Identifier: Apache-2.0
// The application's side: sessions run in this process with the real guard,
// or programs standing in for one, over the C++ class and the C interface.
#include "support/TestSupport.hpp"

#include "process/GuardLaunch.hpp"

#include <FnRemapKit/FnRemapKit.h>
#include <FnRemapKit/FnRemapKit.hpp>

#if !defined(__APPLE__)
#include <sched.h>
#include <sys/mount.h>
#endif

#include <atomic>

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;
using Code = FnRemapSessionError::Code;

namespace {

const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
// Two neighbours, then someone else's use of the Fn key, which the install
// displaces and a normal quit must bring back.
const KeyMappingList original = {entry(0x700000039, 0x7000000E0), {{"Other", -1}},
                                 entry(FnRemapMapping::fnSource, 0x700000068)};

// The real store, refusing writes while told to, or taking them and
// writing nothing, as a system that ignores a write would: as root, nothing
// in the stand-in's own directory makes it refuse a write and still read.
struct RefusingStore {
  // Set by the test while the monitor's thread writes through a copy.
  std::shared_ptr<std::atomic<bool>> refuse = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> ignore = std::make_shared<std::atomic<bool>>(false);
  std::optional<KeyMappingList> read() const { return HIDKeyMappingStore().read(); }
  bool write(const KeyMappingList &list) const noexcept {
    return !*refuse && (*ignore || HIDKeyMappingStore().write(list));
  }
};

#if !defined(__APPLE__)
/// Writes \p text to an existing file in one call, as /proc files need;
/// false when it cannot.
bool writeFile(const std::filesystem::path &path, const std::string &text) {
  return static_cast<bool>((std::ofstream(path) << text).flush());
}
#endif

// A failed end() as the caller sees it: its code and its line.
std::string failure(const FnRemapSession::Ending &ending) {
  return ending.restored ? "restored" : std::to_string(int(ending.code)) + " " + ending.message;
}
std::string failure(Code code, const std::string &message) { return std::to_string(int(code)) + " " + message; }
// A failed C call as its caller sees it.
std::string failure(FnRemapErrorCode code, const char *error) { return std::to_string(int(code)) + " " + error; }

struct SessionTest : KeyMappingTest {
  SessionTest() : KeyMappingTest(original) {}
};

// A session's life. The install. A child forked from the application holds
// a copy of the session, which is not its own: it neither restores the list
// nor touches the guard, even when it returns normally and its destructors
// run. Writes of the list refused while the killed guard is replaced over a
// list that lost our entry and the Fn key's (a keyboard came back, say): the
// entry the install displaced is not dropped. Restores that fail keep the
// guard. The session, moved, ends and brings back what was displaced.
TEST_F(SessionTest, InstallsWithAWatchingGuardRestoresAndEndsIt) {
  RefusingStore refusing;
  ::setenv("FNGUARD_READY_FD", "5", 1); // ours, as a guard we start might see it: replaced
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours, refusing);
  ::unsetenv("FNGUARD_READY_FD");
  const pid_t killed = session.guardPid();
#if !defined(__APPLE__) || defined(FNREMAPKIT_APPLE_FAKES)
  // Its command line, which ps shows: named by its path, so that a user
  // sees which program it is, then our pid and the usages.
  EXPECT_EQ(readFile("/proc/" + std::to_string(killed) + "/cmdline"), std::string(FNGUARD_TOOL) + '\0' +
                std::to_string(::getpid()) + '\0' + "0xFF00000003" + '\0' + "0x70000006E" + '\0');
#endif
  Child forked([&] {
    const auto belongs = "the session belongs to process " + std::to_string(::getppid()) + ", not to this one";
    const bool refused = failure(session.end()) == failure(Code::otherProcess, belongs) && session.guardPid() == 0;
    { const auto copy = std::move(session); }
    ::_exit(refused ? 0 : 1);
  });
  EXPECT_EQ(forked.wait(), 0);
  EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
  EXPECT_EQ(session.guardPid(), killed);
  // Ours still to reap and replace, the monitor untouched by the child.
  std::atomic<int> heard = 0;
  session.onEvent([&](FnRemapSession::Event event) { heard = static_cast<int>(event); });
  ASSERT_TRUE(store.write({original[0]}));
  *refusing.refuse = true;
  ::kill(killed, SIGKILL);
  sleep_for(2500ms);
  *refusing.refuse = false;
  EXPECT_TRUE(eventually([&] { return heard != 0; }));
  EXPECT_EQ(heard, static_cast<int>(FnRemapSession::Event::guardReplaced));
  const pid_t guard = session.guardPid();
  EXPECT_TRUE(guard > 0 && guard != killed && ::kill(killed, 0) != 0) << "the killed guard was not replaced and reaped";
  // Someone else adds an entry meanwhile: the restore keeps it.
  const auto current = KeyMappingList{entry(1, 2), ours};
  ASSERT_TRUE(store.write(current));
  // A failed restore keeps the guard, to remove the entry at our exit. The
  // store names its error for programs; the caller reads a sentence.
  for (const auto &[spoil, code, message] : std::vector<std::tuple<std::function<void(bool)>, Code, std::string>>{
           {[&](bool on) { *refusing.refuse = on; }, Code::writeRefused, "the HID system refused the restored list"},
           {[&](bool on) { *refusing.ignore = on; }, Code::stillRemapped, "the restored key mapping still holds the remap"},
           {[&](bool on) { on ? putList("[1]") : (void)store.write(current); }, Code::readFailed,
            "cannot read the key mapping: the key mapping is malformed"},
#if !defined(__APPLE__)
           {[&](bool on) { ::chmod(path.c_str(), on ? 0770 : 0700); }, Code::lockRefused,
            "cannot lock the key mapping: state directory " + path.string() + " is writable by group or others"},
#endif
       }) {
    spoil(true);
    EXPECT_EQ(failure(session.end()), failure(code, message));
    spoil(false);
  }
  EXPECT_EQ(session.guardPid(), guard) << "the guard must wait while we run";
  auto moved = std::move(session);
  EXPECT_EQ(session.guardPid(), 0);
  EXPECT_EQ(failure(session.end()), failure(Code::movedFrom, "the session holds no remap: it was moved from"));
  const auto ending = moved.end();
  EXPECT_TRUE(ending.restored && ending.message.empty()) << ending.message;
  EXPECT_EQ(store.read(), FnRemapMapping::restoring(current, ours, original));
  EXPECT_EQ(moved.guardPid(), 0);
  EXPECT_TRUE(noChildren()) << "the guard was not ended and reaped";
  EXPECT_TRUE(moved.end().restored);
}

TEST_F(SessionTest, BeginLeavesNothingBehindWhenAStepFails) {
  RefusingStore refusing;
  *refusing.refuse = true;
  EXPECT_THAT([] { FnRemapSession::begin("/nonexistent/guard", ours); },
              fails(Code::guardNotStarted, "cannot start the guard at /nonexistent/guard: No such file or directory"));
  EXPECT_THAT([&] { FnRemapSession::begin(FNGUARD_TOOL, ours, refusing); },
              fails(Code::writeRefused, "the HID system refused the remap"));
  const auto before = store.read();
  putList("[1]");
  EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, ours); },
              fails(Code::readFailed, "cannot read the key mapping: the key mapping is malformed"));
  ASSERT_TRUE(store.write(before.value()));
  // Programs that are no guard of this release: one that exits at once,
  // one that refuses its command line, one that never says it is watching,
  // one that says it late; each against a readiness bound shortened from
  // its 20 s, so that both sides of it are seen at once. An application
  // that ignores SIGCHLD learns no exit status. Then ones that say why they
  // cannot reach the key mapping, then end of file and exit 1: cut to 255
  // bytes, without its newline; one that says so and keeps the pipe open is
  // waited for as a silent one, the others not at all. Once watching, the
  // late one ignores SIGTERM, and is killed after half a second when the
  // session, never ended, is destroyed.
  const auto says = [&](const std::string &name, const std::string &what, const std::string &then = "exit 1") {
    return script(root / name, what + " >&\"$FNGUARD_READY_FD\"\n" + then);
  };
  const std::string refuses = script(root / "refuses", "exit 64"), silent = script(root / "silent", "exec sleep 60"),
                    late = says("late", "trap '' TERM\nsleep 0.3\nprintf '\\n'", "exec sleep 60"),
                    exited = " exited before it was watching", notWithin = " did not report that it was watching within ",
                    cannot = " cannot reach the key mapping: ";
  const auto notWatching = Code::guardNotWatching, cannotReach = Code::guardCannotReach;
  // Each row: the program, whether SIGCHLD is ignored, the bound, and the
  // code and words after the program's name that begin() fails with (none:
  // it begins).
  const auto start = std::chrono::steady_clock::now();
  for (const auto &[program, ignoreExits, bound, code, message] :
       std::vector<std::tuple<std::string, bool, std::chrono::milliseconds, Code, std::string>>{
           {"/bin/true", false, 2s, notWatching, exited + " (exit status 0)"},
           {"/bin/true", true, 2s, notWatching, exited},
           {refuses, false, 2s, notWatching, exited + " (exit status 64)"},
           {silent, false, 250ms, notWatching, notWithin + "0.25 s"},
           {late, false, 100ms, notWatching, notWithin + "0.1 s"},
           {late, false, 3s, Code::none, ""},
           {says("says-why", "printf 'no state directory\\n'"), false, 20s, cannotReach, cannot + "no state directory"},
           {says("no-newline", "printf 'cannot open it'"), false, 20s, cannotReach, cannot + "cannot open it"},
           {says("long", "head -c 300 /dev/zero | tr '\\0' x"), false, 20s, cannotReach, cannot + std::string(255, 'x')},
           {says("says-and-stays", "printf 'busy\\n'", "exec sleep 60"), false, 2s, cannotReach, cannot + "busy"}}) {
    SCOPED_TRACE(program + " within " + std::to_string(bound.count()) + " ms");
    ::signal(SIGCHLD, ignoreExits ? SIG_IGN : SIG_DFL);
    const Process::ShortenedReadyBound shortened(bound);
    if (code == Code::none) {
      auto session = std::make_optional(FnRemapSession::begin(program, ours));
      EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
      const auto ending = std::chrono::steady_clock::now();
      session.reset(); // never ended: the destructor ends it, and restores the list
      EXPECT_LT(std::chrono::steady_clock::now() - ending, 1500ms) << "not bounded by 0.5 s and 0.5 s";
    } else {
      // A copy, as clang 14 lets no lambda capture a structured binding.
      EXPECT_THAT([program = program] { FnRemapSession::begin(program, ours); }, fails(code, "the guard at " + program + message));
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << "a guard that said why was waited for";
  ::signal(SIGCHLD, SIG_DFL);
  EXPECT_EQ(Process::currentReadyBound(), 20s) << "a shortened bound outlived its scope";
  // One that is watching and then ends before the lock is ours: a
  // stranger's signal, say. And one that stops watching then, its report
  // pipe closed, but runs on, as a woken guard does while it releases. The
  // lock is held a moment, so that each has.
  const std::string watched = "printf '\\n' >&\"$FNGUARD_READY_FD\"";
  for (const auto &program : {script(root / "quits", watched),
                              script(root / "leaves", watched + "\neval \"exec $FNGUARD_READY_FD>&-\"\nexec sleep 60")}) {
    SCOPED_TRACE(program);
    const auto holder = holdLock(500ms);
    ASSERT_TRUE(holder);
    EXPECT_THAT([&] { FnRemapSession::begin(program, ours); },
                fails(Code::guardNotWatching, "the guard at " + program + " ended before the remap was installed"));
    EXPECT_EQ(holder->wait(), 0);
    EXPECT_TRUE(KeyMappingLedger::file().peek().holds.holds.empty()) << "a hold was written";
  }
  EXPECT_TRUE(noChildren()) << "a guard was left running";
  EXPECT_EQ(store.read(), original);
  for (const auto &notTwoKeys : {KeyMappingEntry{{"Other", 1}}, KeyMappingEntry{}})
    EXPECT_THROW(FnRemapSession::begin(FNGUARD_TOOL, notTwoKeys), std::invalid_argument);
}

#if !defined(__APPLE__)
// An application that ignores SIGCHLD lets the system reap a guard that
// someone killed, and the next child it starts may get the guard's pid. The
// session must take that child for no guard of its own: not report it, not
// signal it, not wait for it (this one ignores SIGTERM). The pid is steered
// onto the guard's in a pid namespace of the test's own. With process
// descriptors, and without (refused, as some sandboxes do), when the pid is
// checked against its parent and start time. (A guard that ends as usual
// either way is DescriptorLimitTest's.)
class ReapedGuardTest : public SessionTest, public testing::WithParamInterface<bool> {};

TEST_P(ReapedGuardTest, ItsPidIsNeverTakenForTheGuard) {
  const bool descriptors = GetParam();
  Child outside([descriptors] {
    // As root pid and mount namespaces are enough; otherwise a user namespace
    // in which we are who we were, with the rights to steer pids. The
    // namespace gets a /proc of its own, which shows its pids.
    const bool root = ::geteuid() == 0;
    const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS | (root ? 0 : CLONE_NEWUSER)) != 0 ||
        (!root && !(writeFile("/proc/self/setgroups", "deny") && writeFile("/proc/self/uid_map", uid + " " + uid + " 1") &&
                    writeFile("/proc/self/gid_map", gid + " " + gid + " 1"))))
      ::_exit(77);
    Child init([descriptors] { // pid 1, which no guard may be given as its parent
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        ::_exit(77);
      Child application([descriptors] {
        if (!descriptors && !refuseProcessDescriptors())
          ::_exit(80);
        ::signal(SIGCHLD, SIG_IGN);
        auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
        const pid_t guard = session.guardPid();
        ::kill(guard, SIGKILL);
        // Its monitor starts another; only then is the pid steered.
        eventually([&] { return session.guardPid() != 0 && session.guardPid() != guard && ::kill(guard, 0) != 0; });
        sleep_for(20ms); // past the guard's clock tick, as a pid reused naturally would be
        if (!writeFile("/proc/sys/kernel/ns_last_pid", std::to_string(guard - 1)))
          ::_exit(78);
        Child worker([] {
          ::signal(SIGTERM, SIG_IGN);
          sleepForever();
        });
        if (worker.pid() != guard)
          ::_exit(79);
        const bool forgotten = session.guardPid() != guard;
        ::_exit(forgotten && session.end().restored && ::kill(worker.pid(), 0) == 0 ? 0 : 1);
      });
      ::_exit(application.wait(30s));
    });
    const int status = init.wait(40s);
    if (status < 0)
      ::kill(init.pid(), SIGKILL); // and with it everyone in its namespace
    ::_exit(status);
  });
  const int status = outside.wait(50s);
  if (status == 77 || status == 78 || status == 80)
    GTEST_SKIP() << (status == 77 ? "no pid namespace can be made here"
                                  : status == 78 ? "pids cannot be steered here" : "no seccomp filter can be set here");
  EXPECT_EQ(status, 0) << (status == 79 ? "the guard's pid was not reused" : "the session took the new child for its guard");
  EXPECT_EQ(store.read(), original);
}

INSTANTIATE_TEST_SUITE_P(ProcessDescriptors, ReapedGuardTest, testing::Bool(),
                         [](const auto &with) { return with.param ? "Used" : "Refused"; });
#endif

// The C interface says what failed, cut to the caller's buffer, with its
// code where asked for, and says nothing when nothing failed. The remap's
// usages are at the ends of what the guard's command line takes.
TEST_F(SessionTest, TheCInterfaceSaysWhatFailedAndOnlyThat) {
  char error[16] = "";
  FnRemapErrorCode code = FnRemapErrorNone;
  EXPECT_EQ(FnRemapSessionBeginWithCode("/nonexistent/guard", 1, 2, &code, error, sizeof error), nullptr);
  EXPECT_EQ(failure(code, error), failure(FnRemapErrorGuardNotStarted, "cannot start th"));
  FnRemapSessionRef session = FnRemapSessionBeginWithCode(FNGUARD_TOOL, INT64_MIN, -26, &code, nullptr, 0);
  EXPECT_EQ(code, FnRemapErrorNone);
  const auto installed = store.read();
  putList("[1]");
  EXPECT_FALSE(FnRemapSessionEndWithCode(session, &code, error, sizeof error));
  EXPECT_EQ(failure(code, error), failure(FnRemapErrorReadFailed, "cannot read the"));
  EXPECT_FALSE(FnRemapSessionEndWithCode(session, nullptr, nullptr, 0));
  EXPECT_FALSE(FnRemapSessionEnd(session, error, sizeof error));
  // Suspend reports as end does: the line when it fails, nothing when not.
  error[0] = '\0';
  EXPECT_FALSE(FnRemapSessionSuspendWithCode(session, &code, error, sizeof error));
  EXPECT_EQ(failure(code, error), failure(FnRemapErrorReadFailed, "cannot read the"));
  ASSERT_TRUE(store.write(installed.value()));
  EXPECT_TRUE(FnRemapSessionSuspendWithCode(session, &code, error, sizeof error));
  EXPECT_TRUE(FnRemapSessionResumeWithCode(session, &code, error, sizeof error));
  EXPECT_EQ(failure(code, error), failure(FnRemapErrorNone, "cannot read the")) << "a change that succeeded said something";
  EXPECT_TRUE(FnRemapSessionEndWithCode(session, &code, error, sizeof error));
  EXPECT_EQ(failure(code, error), failure(FnRemapErrorNone, "cannot read the")) << "an end that restored said something";
  FnRemapSessionFree(session);
  for (const bool withCode : {false, true}) {
    code = FnRemapErrorNone;
    EXPECT_FALSE(withCode ? FnRemapSessionEndWithCode(nullptr, &code, error, sizeof error)
                          : FnRemapSessionEnd(nullptr, error, sizeof error));
    EXPECT_EQ(failure(code, error), failure(withCode ? FnRemapErrorNoSession : FnRemapErrorNone, "no session"));
    char longer[64] = "";
    EXPECT_EQ(withCode ? FnRemapSessionBeginWithCode(nullptr, 1, 2, &code, longer, sizeof longer)
                       : FnRemapSessionBegin(nullptr, 1, 2, longer, sizeof longer),
              nullptr);
    EXPECT_EQ(failure(code, longer),
              failure(withCode ? FnRemapErrorGuardNotStarted : FnRemapErrorNone, "cannot start the guard: no guard path"));
  }
  EXPECT_EQ(FnRemapSessionGetGuardPID(nullptr), 0);
}

} // namespace
