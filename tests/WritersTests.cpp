// SPDX-License-Identifier: Apache-2.0
// FnRemapKit's writers of the key mapping acting at once: guards that wake
// together, a holder of the lock that stops, a lock file that cannot be
// trusted. Real applications, guards and the stand-in (or, on the macOS
// branch, the HID event system).
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <gmock/gmock.h>

// Linux's subreaper, which the macOS branch built on Linux has as well.
#if !defined(__APPLE__) || defined(FNREMAPKIT_APPLE_FAKES)
#include <sys/prctl.h>
#endif

using namespace FnRemapKit;
using namespace TestSupport;
using FnRemapMapping::entry;

namespace {

const KeyMappingEntry ours = entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
const KeyMappingList others = {entry(0x700000039, 0x7000000E0), {{"Other", -1}}, entry(0x7000000E2, 0x7000000E3)};

struct WritersTest : KeyMappingTest {
  WritersTest() : KeyMappingTest(others) {}
  // The guards outlive the applications we kill; as their subreaper we reap
  // them and learn how they ended.
  void SetUp() override {
    KeyMappingTest::SetUp();
#if defined(PR_SET_CHILD_SUBREAPER)
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
#endif
  }
  // An application holding a session for each entry, then waiting to be
  // killed.
  static std::unique_ptr<Child> application(const std::vector<KeyMappingEntry> &entries) {
    return std::make_unique<Child>([&] {
      try {
        std::vector<FnRemapSession> sessions;
        for (const auto &remap : entries)
          sessions.push_back(FnRemapSession::begin(FNGUARD_TOOL, remap));
        sleepForever();
      } catch (...) {
        ::_exit(1);
      }
    });
  }
  bool holds(std::size_t size, std::chrono::milliseconds limit = 10s) const {
    return eventually([&] { return store.read().value_or(KeyMappingList{}).size() == size; }, limit);
  }
};

// How the guards of killed applications end is ours to learn only as their
// subreaper, which a Mac has no form of.
#if defined(PR_SET_CHILD_SUBREAPER)
// One application with eight remaps, or two at once, killed: sixteen guards
// wake together, and none may put back an entry another took out.
TEST_F(WritersTest, GuardsThatWakeTogetherEachRemoveTheirOwn) {
  for (const int count : {1, 2}) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::to_string(count) + " applications, round " + std::to_string(round));
      std::vector<std::unique_ptr<Child>> applications;
      for (int a = 0; a < count; ++a) {
        std::vector<KeyMappingEntry> remaps;
        for (int i = 0; i < 8; ++i)
          remaps.push_back(entry(0x700000004 + 8 * a + i, FnRemapMapping::fnDestination));
        applications.push_back(application(remaps));
      }
      ASSERT_TRUE(holds(others.size() + 8 * count)) << "the applications did not install";
      for (const auto &app : applications)
        ::kill(app->pid(), SIGKILL);
      for (const auto &app : applications)
        EXPECT_EQ(app->wait(), 128 + SIGKILL);
      EXPECT_EQ(reapAll(), std::vector<int>(8 * count, 0));
      EXPECT_EQ(store.read(), others);
    }
  }
}

// A writer stopped with the lock held after its read: an application's
// guard removes its entry once the lock's bound has passed, and a session
// that would begin meanwhile fails. When the writer resumes and writes its
// stale list, our entry back in it, the guard, still waiting for the lock,
// takes it out again.
TEST_F(WritersTest, AStaleWriterAfterTheBoundLosesOurEntryAgain) {
  const auto app = application({ours});
  ASSERT_TRUE(holds(others.size() + 1));
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
  ::kill(app->pid(), SIGKILL);
  EXPECT_EQ(app->wait(), 128 + SIGKILL);
  EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, entry(1, 2)); },
              testing::Throws<FnRemapSessionError>(testing::AllOf(
                  testing::Property(&FnRemapSessionError::code, FnRemapSessionError::Code::locked),
                  testing::Property(&FnRemapSessionError::what, testing::StrEq("the key mapping is locked by another process")))));
  const auto left = KeyMappingLock::defaultBound + 1s - (std::chrono::steady_clock::now() - killed);
  EXPECT_TRUE(holds(others.size(), std::chrono::ceil<std::chrono::milliseconds>(left)))
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
TEST_F(WritersTest, ALockFileItCannotTrustStopsSessionsButNoGuard) {
  namespace fs = std::filesystem;
  const fs::path lockFile = KeyMappingLock::lockFilePath(), elsewhere = root / "elsewhere";
  const std::string refused = "cannot lock the key mapping: " + lockFile.string();
  std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { std::ofstream{elsewhere}; fs::create_symlink(elsewhere, lockFile); }, refused + " is a symbolic link"}};
#if defined(__APPLE__)
  fs::remove(lockFile); // made under a umask that keeps others out, it still lets them lock
  const mode_t mask = ::umask(077);
  EXPECT_TRUE(KeyMappingLock::acquire().held());
  ::umask(mask);
  EXPECT_EQ(fs::status(lockFile).permissions(), fs::perms(0644));
  rows.push_back({[&] { std::ofstream{elsewhere}; fs::create_hard_link(elsewhere, lockFile); }, refused + " has more than one name"});
#else
  EXPECT_EQ(lockFile, path / "UserKeyMapping.lock");
  rows.push_back({[&] { std::ofstream{lockFile}; ::chmod(lockFile.c_str(), 0620); }, refused + " is writable by group or others"});
  if (::geteuid() == 0)
    rows.push_back({[&] { std::ofstream{lockFile}; ::chown(lockFile.c_str(), 65534, 65534); },
                    refused + " is owned by another user"});
#endif
  for (const auto &[make, message] : rows) {
    SCOPED_TRACE(message);
    fs::remove_all(lockFile);
    fs::remove_all(elsewhere);
    ASSERT_TRUE(store.write(FnRemapMapping::merging(others, ours)));
    make();
    EXPECT_EQ(KeyMappingLock::acquire().error(), message);
    // The guard finds it first, before it says it is watching.
    const std::string unreachable = "the guard at " FNGUARD_TOOL " cannot reach the key mapping: " +
                                    message.substr(std::string("cannot lock the key mapping: ").size());
    EXPECT_THAT([] { FnRemapSession::begin(FNGUARD_TOOL, entry(1, 2)); },
                testing::ThrowsMessage<FnRemapSessionError>(testing::StrEq(unreachable)));
    EXPECT_EQ(reapAll(), std::vector<int>{}) << "the session left its guard";
    ToolProcess guard(FNGUARD_TOOL, {"tarnwick-fn-guard", std::to_string(goneProcess()), "0xFF00000003", "0x70000006E"}, root);
    EXPECT_EQ(guard.wait(), 0);
    EXPECT_EQ(store.read(), others);
  }
}

} // namespace
