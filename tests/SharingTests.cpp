// SPDX-License-Identifier: Apache-2.0
// Sessions that share the list, and its writers acting at once:
// applications with the same entry in every order of end and kill, among
// other tools' entries; another destination refused; holds that outlive
// their applications ended by the next repair; ledgers that cannot be
// read; guards that wake together, a holder of the lock that stops, a lock
// file that cannot be trusted. Real applications, guards and the stand-in
// (or, on the macOS branch, the HID event system).
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include "hid/HIDSystem.hpp"
#include "ledger/LedgerFormat.hpp"
#include "support/ProcessIdentity.hpp"

// Linux's subreaper, which the macOS branch built on Linux has as well.
#if !defined(__APPLE__) || defined(FNREMAPKIT_APPLE_FAKES)
#include <sys/prctl.h>
#endif

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;
using Code = FnRemapSessionError::Code;

namespace {

const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
// A neighbour and an entry of other keys; then the user's own Fn entry,
// which the install displaces and the last release must bring back, once.
const KeyMappingList others = {entry(0x700000039, 0x7000000E0), {{"Other", -1}}};
const KeyMappingList original = {others[0], others[1], entry(FnRemapMapping::fnSource, 0x700000068)};

// Other tools' entries, not all integers (the last row's with our source),
// as they put them; on macOS numbers of the kinds and widths put (32 and 64
// bits). Ours and the user's own Fn entry as the stand-in writes them.
const std::vector<std::string> foreign = {
    R"({"@":true})", R"({"@":"Fn"})", R"({"@":0.5,"n":70000})", R"({"@":0.1,"n":1099511627776})",
    R"({"@":[1,{"x":-2.5e-300}]})", R"({"@":""})", R"({"@":[]})", R"({"@":{}})",
#if !defined(__APPLE__)
    R"({"@":null})", // a property list has no null
#endif
    R"({"HIDKeyboardModifierMappingDst":30064771182.0,"HIDKeyboardModifierMappingSrc":1095216660483,"@":-0.0})"};
const std::string mine = R"({"HIDKeyboardModifierMappingDst":30064771182,"HIDKeyboardModifierMappingSrc":1095216660483},)";
const std::string usersFn = R"({"HIDKeyboardModifierMappingDst":30064771176,"HIDKeyboardModifierMappingSrc":1095216660483},)";

// The list as another tool puts it: each of the other tools' entries
// before, between and after \p middle, then \p tail.
std::string otherToolsList(const std::string &middle, const std::string &tail) {
  const auto at = [](const char *where) {
    std::string rows;
    for (const auto &row : foreign)
      rows += replaced(row, "@", where) + ",";
    return rows;
  };
  std::string list = "[" + at("before") + R"({"Other":-1},)" + middle + at("between") + R"({"A":1},)" + at("after") + tail;
  list.back() = ']';
  return list + "\n";
}

// An application with one session, a real process. It says its guard's pid
// or why its begin failed, then ends when told and says how ("restored" or
// what failed); or it is killed.
struct Application : Talker {
  explicit Application(const KeyMappingEntry &remap)
      : Talker([&](int out, int in) {
          try {
            auto session = FnRemapSession::begin(FNGUARD_TOOL, remap);
            say(out, std::to_string(session.guardPid()));
            char verb = 0;
            (void)!::read(in, &verb, 1);
            const auto ending = session.end();
            say(out, ending.restored ? "restored" : ending.message);
          } catch (const std::exception &error) {
            say(out, error.what());
          }
        }),
        began(line().value_or("nothing")), guard(std::atoi(began.c_str())) {}

  const std::string began; // the guard's pid, or why the begin failed
  const pid_t guard;
};

enum class Way { end, kill, killWithGuard }; // as SCOPED_TRACE shows them: 0, 1, 2

struct SharingTest : KeyMappingTest {
  SharingTest() : KeyMappingTest(original) {}
  // Guards outlive the applications we kill; as their subreaper we reap
  // them and learn how they ended. And our children must never pass for
  // us: what currentProcess() keeps from its first read, here, must not
  // outlive a fork, and they start some clock ticks after us, so that a
  // start time taken over from us would differ. (A killed application's
  // hold that named us would stay live, or a live one's look gone.)
  void SetUp() override {
    KeyMappingTest::SetUp();
#if defined(PR_SET_CHILD_SUBREAPER)
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
#endif
    (void)currentProcess();
    sleep_for(50ms);
  }
  // Ends \p app as \p way says; killed, once its guard has ended as it
  // must (killed with it, it may yet have done its part first, when we are
  // slow between the two). A Mac has no subreaper: launchd reaps the guard
  // there, and only that it ended shows.
  static void stop(Application &app, Way way) {
    if (way == Way::end) {
      app.tell('e');
      EXPECT_EQ(app.line(), "restored");
      EXPECT_EQ(app.wait(), 0);
      return;
    }
    ::kill(app.pid(), SIGKILL);
    if (way == Way::killWithGuard)
      ::kill(app.guard, SIGKILL);
    app.wait();
#if defined(PR_SET_CHILD_SUBREAPER)
    EXPECT_THAT(waitFor(app.guard, 10s), testing::AnyOf(0, way == Way::kill ? 0 : 128 + SIGKILL));
#else
    EXPECT_TRUE(eventually([&] { return ::kill(app.guard, 0) != 0; }));
#endif
  }
};

// Two applications with the default remap, in every order of end and kill,
// while another tool puts ours among its entries: the remap stays while
// either runs, and once both have gone the list is back as it was put,
// every other tool's entry where it stood, the user's Fn entry once.
// Applications killed together with their guards leave it to the next
// session's begin.
TEST_F(SharingTest, TwoApplicationsWithOneEntryInEveryOrderAmongOtherTools) {
  for (const Way first : {Way::end, Way::kill, Way::killWithGuard})
    for (const Way second : {Way::end, Way::kill, Way::killWithGuard})
      for (const bool earlierFirst : {true, false}) {
        SCOPED_TRACE(testing::Message() << "ways " << int(first) << " then " << int(second) << ", earlier first: " << earlierFirst);
        putList(otherToolsList("", usersFn));
        const auto without = store.read().value();
        Application earlier(ours), later(ours);
        ASSERT_TRUE(earlier.guard && later.guard) << earlier.began << "; " << later.began;
        EXPECT_EQ(store.read(), FnRemapMapping::merging(without, ours));
        putList(otherToolsList(mine, ""));
        stop(earlierFirst ? earlier : later, first);
        EXPECT_EQ(std::ranges::count(store.read().value(), ours), 1) << "the remap went while the other application ran";
        stop(earlierFirst ? later : earlier, second);
        if (second == Way::killWithGuard) { // no guard left to act: the next begin repairs
          auto next = FnRemapSession::begin(FNGUARD_TOOL, entry(3, 4));
          EXPECT_EQ(store.read(), FnRemapMapping::merging(without, entry(3, 4)));
          EXPECT_TRUE(next.end().restored);
        }
        EXPECT_THAT(reapAll(), testing::Each(testing::AnyOf(0, 128 + SIGKILL))) << "a guard failed";
        EXPECT_TRUE(holdsList(otherToolsList("", usersFn)));
        EXPECT_EQ(KeyMappingLedger::file().peek().holds, KeyMappingHolds{});
      }
}

// Four processes begin and end 25 sessions each, every begin a repair under
// the lock: the live hold of an application that runs through it all keeps
// its entry.
TEST_F(SharingTest, ALiveHoldSurvivesAHundredRepairsFromOtherProcesses) {
  Application holder(ours);
  ASSERT_GT(holder.guard, 0) << holder.began;
  std::vector<std::unique_ptr<Child>> others;
  for (int p = 0; p < 4; ++p)
    others.push_back(std::make_unique<Child>([p] {
      for (int i = 0; i < 25; ++i)
        if (!FnRemapSession::begin(FNGUARD_TOOL, entry(0x700000004 + p, 0x700000010 + i)).end().restored)
          ::_exit(1);
    }));
  for (const auto &other : others)
    EXPECT_EQ(other->wait(60s), 0);
  EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
  stop(holder, Way::end);
  EXPECT_EQ(store.read(), original);
}

// Holds that the next begin's repair must end, each naming an entry in the
// list: an application gone, one that has exited but is not yet reaped, a
// pid now another process's (the start time differs), a hold of another
// boot (its entry left where the list does not outlive a restart: then it
// is no longer ours, as on macOS); and one it must keep: a live
// application's, whose key another destination may not take, whose entry a
// guard with no hold of its own (as a program that keeps no ledger starts
// it) leaves, and which keymap shows.
TEST_F(SharingTest, TheRepairEndsTheHoldsOfApplicationsThatAreGoneAndKeepsALiveOne) {
  Child zombie([] {});
  ASSERT_TRUE(awaitZombie(zombie.pid()));
  const ProcessIdentity self = currentProcess();
  const std::string boot = bootIdentifier(), src = " HIDKeyboardModifierMappingSrc=1095216660483";
  ASSERT_FALSE(boot.empty());
  const auto remap = entry(FnRemapMapping::fnSource, 0x70000006C);
  for (const auto &[what, application, holdBoot, live] : std::vector<std::tuple<std::string, ProcessIdentity, std::string, bool>>{
           {"gone", {goneProcess(), 1}, boot, false},
           {"a zombie", {zombie.pid(), lookUpProcess(zombie.pid())->start}, boot, false},
           {"another start time", {self.pid, self.start + 1}, boot, false},
           {"another boot", self, "another boot", false},
           {"live", self, boot, true}}) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(store.write(FnRemapMapping::merging(original, remap)));
    KeyMappingLedger::file().save({{{application, {goneProcess(), 1}, holdBoot, remap}}, {{FnRemapMapping::fnSource, {*original[2].entry()}}}});
    EXPECT_TRUE(FnRemapSession::begin(FNGUARD_TOOL, entry(3, 4)).end().restored);
    if (live) {
      EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, ours); },
                  fails(Code::keyRemappedByOther, "the key 0xFF00000003 is remapped by process " + std::to_string(self.pid)));
      const std::vector<std::string> orphan = {"tarnwick-fn-guard", std::to_string(goneProcess()), "0xFF00000003", "0x70000006C"};
      EXPECT_EQ(ToolProcess(FNGUARD_TOOL, orphan, root).wait(), 0);
      ToolProcess keymap(KEYMAP, {"keymap", "holders"}, root);
      EXPECT_EQ(keymap.wait(), 0);
      EXPECT_THAT(keymap.standardOutput(),
                  testing::MatchesRegex("application " + std::to_string(self.pid) + " \\([A-Za-z]+\\) live, guard [0-9]+ gone, " +
                                        "this boot: HIDKeyboardModifierMappingDst=30064771180" + src +
                                        "\ndisplaced for 0xFF00000003: HIDKeyboardModifierMappingDst=30064771176" + src + "\n"));
    }
    const bool stays = live || (holdBoot != boot && !HID::listOutlivesRestart());
    EXPECT_EQ(store.read(), stays ? FnRemapMapping::merging(original, remap) : original);
    EXPECT_EQ(KeyMappingLedger::file().peek().holds.holds.size(), live ? 1u : 0u);
  }
  zombie.wait();
}

// The ledger beside the state file, under its rules (the shared reader's
// and writer's refusals are HIDKeyMappingStoreTest's): none without a state
// directory; written private and read back whole, every string escaped as
// it must be; never past 1 MiB. One that cannot be parsed (what does not
// parse is the format table's) is moved aside by a reader with the lock
// alone, and taken as empty, its holds and what they displaced lost. A
// later version's is left alone, however long: sessions will not begin
// over it, and a guard meeting it removes as one without a ledger does.
// One that others may write to is no ledger to trust or to write.
TEST_F(SharingTest, TheLedgerSetsADamagedOneAsideAndLeavesANewerOneAlone) {
  const auto ledger = KeyMappingLedger::file();
  const std::string file = ledger.path(), damaged = "{\"version\": 1, \"holds\": [";
#if !defined(__APPLE__)
  EXPECT_EQ(file, (path / "UserKeyMapping.holders").string());
  std::filesystem::remove_all(path);
  EXPECT_EQ(ledger.load().holds, KeyMappingHolds{}) << "no state directory: no holds";
#endif
  // What must be escaped, JSON's own punctuation, and UTF-8 at the first and
  // last code point of each multibyte length and on both sides of the
  // surrogates, which a reader too strict would take for damage.
  const std::string odd = "a\"\\{]:, \n\x01\x1f\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"
                          "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
  const KeyMappingHolds holds{{{{2, 3}, {4, 5}, "boot", ours},
                               {{INT32_MIN, UINT64_MAX}, {INT32_MAX, 0}, odd, {{odd, INT64_MIN}, {"", INT64_MAX}}}},
                              {{FnRemapMapping::fnSource, {*original[2].entry(), {}}}, {INT64_MIN, {{{odd, -1}}}}}};
  ledger.save(holds);
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(ledger.load().holds, holds);
  KeyMappingHolds large{{}, {{FnRemapMapping::fnSource, {{}}}}};
  for (int key = 0; key < 100000; ++key)
    large.displaced[FnRemapMapping::fnSource][0][std::to_string(key)] = key;
  EXPECT_THAT([&] { ledger.save(large); },
              testing::ThrowsMessage<std::runtime_error>(testing::StrEq("cannot write " + file + ": the holds take more than 1 MiB")));

  std::ofstream(file, std::ios::trunc) << damaged;
  EXPECT_EQ(ledger.peek().state, KeyMappingLedger::Loaded::State::damaged);
  EXPECT_TRUE(std::filesystem::exists(file)) << "a reader without the lock moved it";
  ASSERT_TRUE(store.write(FnRemapMapping::merging(original, ours)));
  EXPECT_TRUE(FnRemapSession::begin(FNGUARD_TOOL, ours).end().restored);
  EXPECT_EQ(readFile(ledger.damagedPath()), damaged);
  EXPECT_EQ(store.read(), others);

  const std::string newer = "{\"version\": 3, \"\xff\": 1}" + std::string(2 * Ledger::maximumSize, ' ');
  std::ofstream(file, std::ios::trunc) << newer;
  EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, ours); },
              fails(Code::newerLedger, "the key mapping's holds are kept by a newer FnRemapKit"));
  EXPECT_THAT(reapAll(), testing::IsEmpty()) << "the session left its guard";
  ASSERT_TRUE(store.write(FnRemapMapping::merging(original, ours)));
  ToolProcess guard(FNGUARD_TOOL, {"tarnwick-fn-guard", std::to_string(goneProcess()), "0xFF00000003", "0x70000006E"}, root);
  EXPECT_EQ(guard.wait(), 0);
  EXPECT_EQ(store.read(), others);
  EXPECT_EQ(readFile(file), newer);

  ::chmod(file.c_str(), 0620);
  const std::string refused = file + ": it is writable by group or others";
  EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, ours); },
              fails(Code::holdsNotWritten, "cannot keep the key mapping's holds: cannot read " + refused));
  EXPECT_THAT(reapAll(), testing::IsEmpty()) << "the session left its guard";
  EXPECT_THAT([&] { ledger.save(holds); }, testing::ThrowsMessage<std::runtime_error>(testing::StrEq("cannot write " + refused)));
}

// How the guards of killed applications end is ours to learn only as their
// subreaper, which a Mac has no form of.
#if defined(PR_SET_CHILD_SUBREAPER)
// Two applications with eight remaps each, begun at once and killed:
// sixteen guards wake together, and none may put back an entry another took
// out.
TEST_F(SharingTest, GuardsThatWakeTogetherEachRemoveTheirOwn) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::unique_ptr<Child>> applications;
    for (int a = 0; a < 2; ++a)
      applications.push_back(std::make_unique<Child>([a] {
        std::vector<FnRemapSession> sessions;
        for (int i = 0; i < 8; ++i)
          sessions.push_back(FnRemapSession::begin(FNGUARD_TOOL, entry(0x700000004 + 8 * a + i, 0x70000006E)));
        sleepForever();
      }));
    ASSERT_TRUE(eventually([&] { return store.read().value().size() == original.size() + 16; })) << "not installed";
    for (const auto &app : applications)
      ::kill(app->pid(), SIGKILL);
    for (const auto &app : applications)
      EXPECT_EQ(app->wait(), 128 + SIGKILL);
    EXPECT_EQ(reapAll(), std::vector<int>(16, 0));
    EXPECT_EQ(store.read(), original);
  }
}

// A writer stopped with the lock held after its read: an application's
// guard removes its entry once the lock's bound has passed, and a session
// that would begin meanwhile fails. When the writer resumes and writes its
// stale list, our entry back in it, the guard, still waiting for the lock,
// takes it out again.
TEST_F(SharingTest, AStaleWriterAfterTheBoundLosesOurEntryAgain) {
  ASSERT_TRUE(store.write(others));
  Application app(ours);
  ASSERT_GT(app.guard, 0) << app.began;
  Child holder([this] {
    const auto lock = KeyMappingLock::acquire();
    const auto stale = store.read();
    ::raise(lock && stale ? SIGSTOP : SIGKILL);
    ::_exit(store.write(*stale) ? 0 : 1);
  });
  siginfo_t stopped{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(holder.pid()), &stopped, WSTOPPED | WEXITED | WNOWAIT), 0);
  ASSERT_EQ(stopped.si_code, CLD_STOPPED);
  const auto killed = std::chrono::steady_clock::now();
  ::kill(app.pid(), SIGKILL);
  app.wait();
  EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, entry(1, 2)); },
              fails(Code::locked, "the key mapping is locked by another process"));
  const auto left = KeyMappingLock::defaultBound + 1s - (std::chrono::steady_clock::now() - killed);
  EXPECT_TRUE(eventually([&] { return store.read() == others; }, std::chrono::ceil<std::chrono::milliseconds>(left)))
      << "the guard did not remove the entry within the bound and a second";
  ::kill(holder.pid(), SIGCONT);
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_EQ(reapAll(), std::vector<int>{0}) << "the guard did not end well after its retry";
  EXPECT_EQ(store.read(), others);
}
#endif

// A lock file that another user could have put there or could change is
// refused as the state file is (on macOS, where any user may have made it
// in the shared folder, one with another name): a session will not install
// without the lock, and a guard goes on without it.
TEST_F(SharingTest, ALockFileItCannotTrustStopsSessionsButNoGuard) {
  namespace fs = std::filesystem;
  const fs::path lockFile = KeyMappingLock::lockFilePath(), elsewhere = root / "elsewhere";
  std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { std::ofstream{elsewhere}; fs::create_symlink(elsewhere, lockFile); }, " is a symbolic link"}};
#if defined(__APPLE__)
  fs::remove(lockFile); // made under a umask that keeps others out, it still lets them lock
  const mode_t mask = ::umask(077);
  EXPECT_TRUE(KeyMappingLock::acquire().held());
  ::umask(mask);
  EXPECT_EQ(fs::status(lockFile).permissions(), fs::perms(0644));
  rows.push_back({[&] { std::ofstream{elsewhere}; fs::create_hard_link(elsewhere, lockFile); }, " has more than one name"});
#else
  EXPECT_EQ(lockFile, path / "UserKeyMapping.lock");
  rows.push_back({[&] { std::ofstream{lockFile}; ::chmod(lockFile.c_str(), 0620); }, " is writable by group or others"});
  if (::geteuid() == 0)
    rows.push_back({[&] { std::ofstream{lockFile}; ::chown(lockFile.c_str(), 65534, 65534); }, " is owned by another user"});
#endif
  for (const auto &[make, why] : rows) {
    SCOPED_TRACE(why);
    fs::remove_all(lockFile);
    fs::remove_all(elsewhere);
    ASSERT_TRUE(store.write(FnRemapMapping::merging(others, ours)));
    make();
    EXPECT_EQ(KeyMappingLock::acquire().error(), "cannot lock the key mapping: " + lockFile.string() + why);
    // The guard finds it first, before it says it is watching.
    EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, entry(1, 2)); },
                testing::ThrowsMessage<FnRemapSessionError>(testing::StrEq(
                    "the guard at " FNGUARD_TOOL " cannot reach the key mapping: " + lockFile.string() + why)));
    EXPECT_EQ(reapAll(), std::vector<int>{}) << "the session left its guard";
    ToolProcess guard(FNGUARD_TOOL, {"tarnwick-fn-guard", std::to_string(goneProcess()), "0xFF00000003", "0x70000006E"}, root);
    EXPECT_EQ(guard.wait(), 0);
    EXPECT_EQ(store.read(), others);
  }
}

} // namespace
