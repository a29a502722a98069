// SPDX-License-Identifier: Apache-2.0
// Sessions that share the list: applications with the same entry in every
// order of end and kill, another destination refused, holds that outlive
// their applications ended by the next repair, and ledgers that cannot be
// read. Real applications, guards and the stand-in (or, on the macOS
// branch, the HID event system).
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include "hid/HIDSystem.hpp"
#include "ledger/LedgerFormat.hpp"
#include "support/ProcessIdentity.hpp"

#include <gmock/gmock.h>

#include <deque>
// Linux's subreaper, which the macOS branch built on Linux has as well.
#if !defined(__APPLE__) || defined(FNREMAPKIT_APPLE_FAKES)
#include <sys/prctl.h>
#endif

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
// A neighbour, an entry of other keys, and the user's own Fn entry, which
// the install displaces and the last release must bring back, once.
const KeyMappingList original = {entry(0x700000039, 0x7000000E0), {{"Other", -1}},
                                 entry(FnRemapMapping::fnSource, 0x700000068)};

// An application with one session, a real process. It says how its begin
// went ("began GUARD" or what failed), then ends when told and says how; or
// it is killed.
class Application : public Talker {
public:
  explicit Application(const KeyMappingEntry &remap)
      : Talker([&](int out, int in) {
          try {
            auto session = FnRemapSession::begin(FNGUARD_TOOL, remap);
            say(out, "began " + std::to_string(session.guardPid()));
            if (char verb = 0; ::read(in, &verb, 1) == 1) {
              const auto ending = session.end();
              say(out, ending.restored ? "restored" : ending.message);
            }
          } catch (const FnRemapSessionError &error) {
            say(out, "failed " + std::to_string(int(error.code())) + " " + error.what());
          } catch (const std::exception &error) {
            say(out, error.what());
          }
        }) {
    const std::string began = line().value_or("");
    std::sscanf(began.c_str(), "began %d", &guard);
    int code = 0, at = 0;
    if (!guard && std::sscanf(began.c_str(), "failed %d %n", &code, &at) == 1)
      failureCode = static_cast<FnRemapSessionError::Code>(code);
    failure = guard ? "" : began.substr(static_cast<std::size_t>(at));
    if (!guard)
      wait();
  }
  /// The session's end(), in the application: "restored" or what failed.
  std::string end() {
    tell('e');
    const auto said = line().value_or("");
    wait();
    return said;
  }
  void kill(bool withGuard) {
    ::kill(pid(), SIGKILL);
    if (withGuard)
      ::kill(guard, SIGKILL);
    wait();
  }

  pid_t guard = 0;
  std::string failure; // why it did not begin; empty when it did
  FnRemapSessionError::Code failureCode = FnRemapSessionError::Code::none;
};

struct SharingTest : KeyMappingTest {
  SharingTest() : KeyMappingTest(original) {}
  // Guards outlive the applications we kill; as their subreaper we reap them.
  void SetUp() override {
    KeyMappingTest::SetUp();
#if defined(PR_SET_CHILD_SUBREAPER)
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
#endif
  }
  // Whether a guard that outlived its application ended as \p how says (as
  // waitFor does). A Mac has no subreaper: launchd reaps it there, and only
  // that it ended shows.
  static bool ended(pid_t guard, int how) {
#if defined(PR_SET_CHILD_SUBREAPER)
    return waitFor(guard, 10s) == how;
#else
    (void)how;
    return eventually([&] { return ::kill(guard, 0) != 0; });
#endif
  }
  bool holdsOurs() const {
    const auto list = store.read().value_or(KeyMappingList{});
    return std::ranges::count(list, ours) == 1;
  }
  static std::filesystem::path ledgerFile() { return KeyMappingLedger::file().path(); }
  void putLedger(const std::string &text) const {
    std::ofstream(ledgerFile(), std::ios::trunc) << text;
    ::chmod(ledgerFile().c_str(), 0600);
  }
};

enum class Way { end, kill, killWithGuard };

// Two applications with the default remap, in every order of end and kill:
// the remap stays while either runs, and once both have gone the user's
// list is back as it was, its Fn entry once. Applications killed together
// with their guards leave it to the next session's begin.
TEST_F(SharingTest, TwoApplicationsWithOneEntryInEveryOrder) {
  const char *names[] = {"end", "kill", "kill with its guard"};
  for (const Way first : {Way::end, Way::kill, Way::killWithGuard})
    for (const Way second : {Way::end, Way::kill, Way::killWithGuard})
      for (const bool earlierFirst : {true, false}) {
        SCOPED_TRACE(std::string(names[int(first)]) + " then " + names[int(second)] +
                     (earlierFirst ? ", the earlier first" : ", the later first"));
        ASSERT_TRUE(store.write(original));
        std::deque<Application> apps;
        apps.emplace_back(ours);
        apps.emplace_back(ours);
        ASSERT_EQ(apps[0].failure + apps[1].failure, "");
        EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
        auto &one = apps[earlierFirst ? 0 : 1], &other = apps[earlierFirst ? 1 : 0];
        const auto act = [](Application &app, Way way) {
          if (way == Way::end)
            EXPECT_EQ(app.end(), "restored");
          else
            app.kill(way == Way::killWithGuard);
        };
        act(one, first);
        if (first == Way::kill) { // its guard, orphaned to us, finds the other's hold
          EXPECT_TRUE(ended(one.guard, 0));
        }
        EXPECT_TRUE(holdsOurs()) << "the remap went while the other application ran";
        act(other, second);
        if (second == Way::killWithGuard) { // no guard left to act: the next begin repairs
          Application next(entry(3, 4));
          EXPECT_EQ(next.failure, "");
          EXPECT_EQ(next.end(), "restored");
        }
        const auto endings = reapAll();
        EXPECT_THAT(endings, testing::Each(testing::AnyOf(0, 128 + SIGKILL))) << "a guard failed";
        EXPECT_EQ(store.read(), original);
        EXPECT_EQ(readFile(ledgerFile()).find("\"application\""), std::string::npos) << readFile(ledgerFile());
      }
}

// Another destination for a held key is refused. A guard with no hold of
// its own, as a program that keeps no ledger starts it, leaves an entry
// that a live hold names; and a user who sets another Fn entry while the
// remap is held keeps it, without the displaced one beside it.
TEST_F(SharingTest, AnotherDestinationIsRefusedWhatOthersHoldOrSetStays) {
  Application holder(ours);
  ASSERT_EQ(holder.failure, "");
  Application other(entry(FnRemapMapping::fnSource, 0x70000006D));
  EXPECT_EQ(other.failure, "the key 0xFF00000003 is remapped by process " + std::to_string(holder.pid()));
  EXPECT_EQ(other.failureCode, FnRemapSessionError::Code::keyRemappedByOther);
  EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
  // Who holds it, as keymap shows the ledger.
  ToolProcess keymap(KEYMAP, {"keymap", "holders"}, root);
  EXPECT_EQ(keymap.wait(), 0);
  const std::string src = "HIDKeyboardModifierMappingSrc=1095216660483";
  EXPECT_THAT(keymap.standardOutput(),
              testing::MatchesRegex("application " + std::to_string(holder.pid()) + " \\([A-Za-z]+\\) live, guard " +
                                    std::to_string(holder.guard) + " live, this boot: HIDKeyboardModifierMappingDst=30064771182 " +
                                    src + "\ndisplaced for 0xFF00000003: HIDKeyboardModifierMappingDst=30064771176 " + src + "\n"));
  ToolProcess guard(FNGUARD_TOOL, {"tarnwick-fn-guard", std::to_string(goneProcess()), "0xFF00000003", "0x70000006E"}, root);
  EXPECT_EQ(guard.wait(), 0);
  auto changed = FnRemapMapping::merging(original, ours);
  EXPECT_EQ(store.read(), changed);
  changed.push_back(entry(FnRemapMapping::fnSource, 0x700000069));
  ASSERT_TRUE(store.write(changed));
  EXPECT_EQ(holder.end(), "restored");
  EXPECT_THAT(reapAll(), testing::IsEmpty());
  EXPECT_EQ(store.read(), (KeyMappingList{original[0], original[1], entry(FnRemapMapping::fnSource, 0x700000069)}));
}

// Four processes begin and end 25 sessions each, every begin a repair: the
// live hold of an application that runs through it all keeps its entry.
TEST_F(SharingTest, ALiveHoldSurvivesAHundredRepairsFromOtherProcesses) {
  Application holder(ours);
  ASSERT_EQ(holder.failure, "");
  std::vector<std::unique_ptr<Child>> others;
  for (int p = 0; p < 4; ++p)
    others.push_back(std::make_unique<Child>([p] {
      for (int i = 0; i < 25; ++i) {
        auto session = FnRemapSession::begin(FNGUARD_TOOL, entry(0x700000004 + p, 0x700000010 + i));
        if (!session.end().restored)
          ::_exit(1);
      }
    }));
  for (const auto &other : others)
    EXPECT_EQ(other->wait(60s), 0);
  EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours));
  EXPECT_NE(readFile(ledgerFile()).find("\"pid\": " + std::to_string(holder.pid())), std::string::npos);
  EXPECT_EQ(holder.end(), "restored");
  EXPECT_EQ(store.read(), original);
}

// Holds that the next begin's repair must end, each naming an entry in the
// list: an application gone, one that has exited but is not yet reaped, a
// pid now another process's (the start time differs), a hold of another
// boot (its entry left where the list does not outlive a restart: then it
// is no longer ours, as on macOS); and one it must keep: a live
// application's.
TEST_F(SharingTest, TheRepairEndsTheHoldsOfApplicationsThatAreGone) {
  Child zombie([] {});
  ASSERT_TRUE(awaitZombie(zombie.pid()));
  const ProcessIdentity self = currentProcess();
  const std::string boot = bootIdentifier();
  struct Row {
    std::string what;
    ProcessIdentity application;
    std::string boot;
    bool live;
  };
  for (const auto &[what, application, holdBoot, live] : std::vector<Row>{
           {"gone", {goneProcess(), 1}, boot, false},
           {"a zombie", {zombie.pid(), lookUpProcess(zombie.pid())->start}, boot, false},
           {"another start time", {self.pid, self.start + 1}, boot, false},
           {"another boot", self, "another boot", false},
           {"live", self, boot, true}}) {
    SCOPED_TRACE(what);
    const auto remap = entry(FnRemapMapping::fnSource, 0x70000006C);
    ASSERT_TRUE(store.write(FnRemapMapping::merging(original, remap)));
    putLedger(R"({"version": 1, "holds": [{"application": {"pid": )" + std::to_string(application.pid) +
              R"(, "start": )" + std::to_string(application.start) + R"(}, "guard": {"pid": 1, "start": 1}, "boot": ")" +
              holdBoot + R"(", "entry": {"HIDKeyboardModifierMappingDst": 30064771180, "HIDKeyboardModifierMappingSrc": 1095216660483}}],
 "displaced": [{"source": 1095216660483, "entries": [{"HIDKeyboardModifierMappingDst": 30064771176, "HIDKeyboardModifierMappingSrc": 1095216660483}]}]})");
    Application next(entry(3, 4));
    EXPECT_EQ(next.failure, "");
    EXPECT_EQ(next.end(), "restored");
    const bool stays = live || (holdBoot != boot && !HID::listOutlivesRestart());
    EXPECT_EQ(store.read(), stays ? FnRemapMapping::merging(original, remap) : original);
    EXPECT_EQ(readFile(ledgerFile()).find("\"pid\": " + std::to_string(application.pid)) != std::string::npos, live);
  }
  zombie.wait();
}

// A ledger that cannot be parsed is set aside and taken as empty: cut
// short, nested deep, over 1 MiB, or with a displaced entry whose key no
// list would take back, which would otherwise refuse every restore. A later
// version's is left alone, whatever it holds and however long: sessions
// will not begin over it, and a guard meeting it removes as one without a
// ledger does.
TEST_F(SharingTest, ADamagedLedgerIsSetAsideANewerOneLeftAlone) {
  const std::string gone = std::to_string(goneProcess()), hold = R"({"version": 1, "holds": [{"application": {"pid": )" +
      gone + R"(, "start": 1}, "guard": {"pid": 1, "start": 1}, "boot": ")" + bootIdentifier() +
      R"(", "entry": {"HIDKeyboardModifierMappingDst": 30064771182, "HIDKeyboardModifierMappingSrc": 1095216660483}}], )";
  for (const auto &damaged : {std::string("{\"version\": 1, \"holds\": ["), hold + R"("displaced": [{"source": 1095216660483, "entries": [{"\xff\xfe": 1}]}]})",
                              hold + R"("displaced": [)" + std::string(1000, '[') + "]}",
                              hold + R"("displaced": []})" + std::string(Ledger::maximumSize, '\n')}) {
    ASSERT_TRUE(store.write(FnRemapMapping::merging(original, ours)));
    putLedger(damaged);
    Application app(ours);
    EXPECT_EQ(app.failure, "") << damaged.substr(0, 300);
    EXPECT_EQ(readFile(KeyMappingLedger::file().damagedPath()), damaged);
    EXPECT_EQ(app.end(), "restored");
    EXPECT_EQ(store.read(), (KeyMappingList{original[0], original[1]}));
  }
  std::string newer;
  for (const auto &later : {std::string(R"({"version": 2, "suspended": false, "holds": [true, null, 1.5, "\n\u00e9"]})"),
                            "{\"version\": 3, \"\xff\": 1}" + std::string(2 * Ledger::maximumSize, ' '),
                            std::string("{\"version\": 2, \"holders\": {}}")}) {
    putLedger(newer = later);
    EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, ours); },
                fails(FnRemapSessionError::Code::newerLedger, "the key mapping's holds are kept by a newer FnRemapKit"));
    EXPECT_THAT(reapAll(), testing::IsEmpty()) << "the session left its guard";
    EXPECT_EQ(readFile(ledgerFile()), later);
  }
  // One that others may write to is no ledger to trust or to write.
  ::chmod(ledgerFile().c_str(), 0620);
  EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, ours); },
              fails(FnRemapSessionError::Code::holdsNotWritten,
                    "cannot keep the key mapping's holds: cannot read " + ledgerFile().string() +
                        ": it is writable by group or others"));
  EXPECT_THAT(reapAll(), testing::IsEmpty()) << "the session left its guard";
  ::chmod(ledgerFile().c_str(), 0600);
  ASSERT_TRUE(store.write(FnRemapMapping::merging(original, ours)));
  ToolProcess guard(FNGUARD_TOOL, {"tarnwick-fn-guard", std::to_string(goneProcess()), "0xFF00000003", "0x70000006E"}, root);
  EXPECT_EQ(guard.wait(), 0);
  EXPECT_EQ(store.read(), (KeyMappingList{original[0], original[1]}));
  EXPECT_EQ(readFile(ledgerFile()), newer);
}

// Other tools' entries, not all integers (the last row's with our source),
// before, between and after ours: a session begins over each, and each stays
// where it stands, as it was, through a removal by end(), by the guard and
// by the next begin's repair: the list after is the list put but ours, on
// macOS numbers of the kinds and widths put (32 and 64 bits).
TEST_F(SharingTest, OtherToolsEntriesStayAsTheyAreWhereTheyStand) {
  const std::string mine = R"({"HIDKeyboardModifierMappingDst":30064771182,"HIDKeyboardModifierMappingSrc":1095216660483},)";
  std::vector<std::string> rows = {R"({"@":true})", R"({"@":"Fn"})", R"({"@":0.5,"n":70000})", R"({"@":0.1,"n":1099511627776})",
                                   R"({"@":[1,{"x":-2.5e-300}]})", R"({"@":""})", R"({"@":[]})", R"({"@":{}})",
                                   R"({"HIDKeyboardModifierMappingDst":30064771182.0,"HIDKeyboardModifierMappingSrc":1095216660483,"@":-0.0})"};
#if !defined(__APPLE__)
  rows.push_back(R"({"@":null})"); // a property list has no null
#endif
  for (const auto &row : rows)
    for (const Way way : {Way::end, Way::kill, Way::killWithGuard}) {
      SCOPED_TRACE(row + " " + std::to_string(int(way)));
      const auto at = [&](const char *where) { return replaced(row, "@", where); };
      const auto list = [&](const std::string &ours) {
        return "[" + at("before") + R"(,{"Other":-1},)" + ours + at("between") + R"(,{"A":1},)" + at("after") + "]\n";
      };
      putList(list(""));
      const auto without = store.read().value();
      ASSERT_TRUE(without[0].foreign() && without[2].foreign() && without[4].foreign());
      Application app(ours);
      ASSERT_EQ(app.failure, "");
      EXPECT_EQ(store.read(), FnRemapMapping::merging(without, ours));
      putList(list(mine));
      if (way == Way::end) {
        EXPECT_EQ(app.end(), "restored");
      } else {
        app.kill(way == Way::killWithGuard);
        EXPECT_TRUE(ended(app.guard, way == Way::kill ? 0 : 128 + SIGKILL));
      }
      if (way == Way::killWithGuard) {
        Application next(entry(3, 4));
        EXPECT_EQ(store.read(), FnRemapMapping::merging(without, entry(3, 4)));
        EXPECT_EQ(next.end(), "restored");
      }
      EXPECT_EQ(store.read(), without);
      EXPECT_TRUE(holdsList(list("")));
    }
}

} // namespace
