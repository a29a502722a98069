// SPDX-License-Identifier: Apache-2.0
// Keyboards that come back, and sessions suspended for another user: the
// monitor re-applies a missing entry once a burst of appearances is over,
// and writes nothing else. Keyboards are files in the stand-in's
// keyboards/ directory.
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <atomic>

using namespace FnRemapKit;
using namespace TestSupport;
using Event = FnRemapSession::Event;

namespace {

const KeyMappingEntry ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
const KeyMappingList original = {FnRemapMapping::entry(0x700000039, 0x7000000E0),
                                 FnRemapMapping::entry(FnRemapMapping::fnSource, 0x700000068)};
const KeyMappingList remapped = FnRemapMapping::merging(original, ours);

class KeyboardsTest : public KeyMappingTest {
protected:
  KeyboardsTest() : KeyMappingTest(original) {}
  void SetUp() override {
    KeyMappingTest::SetUp();
    std::filesystem::create_directory(path / "keyboards");
  }
  /// \p count keyboards appear at once.
  void appear(int count = 1) {
    for (int i = 0; i < count; ++i)
      std::ofstream(path / "keyboards" / ("keyboard-" + std::to_string(++appeared)));
  }
  int appeared = 0;
};

} // namespace

// The user's list cleared, then ten keyboards at once: the entry is back
// within 3 s, written once; the same burst with the entry in place writes
// nothing. A reapply that cannot have the lock, which another writer holds
// for 4 s, is tried again each second: the entry comes back once the lock
// is free. And end() while a burst's quiet time runs: once it has returned,
// nothing is written and no event comes.
TEST_F(KeyboardsTest, AMissingEntryComesBackOnceForABurstAndNotAfterTheEnd) {
  std::atomic<unsigned> reapplied{0}, other{0};
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
  session.onEvent([&](Event event) { ++(event == Event::reapplied ? reapplied : other); });
  ASSERT_TRUE(store.write({}));
  appear(10);
  EXPECT_TRUE(eventually([&] { return store.read() == KeyMappingList{ours}; }, 3s));
  sleep_for(800ms);
  const auto before = contents();
  appear(10);
  sleep_for(1200ms);
  EXPECT_EQ(contents(), before) << "written with the entry in place";

  ASSERT_TRUE(store.write({}));
  const auto holder = holdLock(4s);
  ASSERT_TRUE(holder);
  appear();
  EXPECT_TRUE(eventually([&] { return reapplied > 1; }, 10s));
  EXPECT_EQ(reapplied, 2u) << "one for each burst that found the entry missing";
  EXPECT_EQ(store.read(), KeyMappingList{ours});

  ASSERT_TRUE(store.write({}));
  appear();
  sleep_for(100ms);
  EXPECT_TRUE(session.end().restored);
  const unsigned heard = reapplied;
  const auto after = contents();
  sleep_for(1200ms);
  EXPECT_EQ(contents(), after);
  EXPECT_EQ(reapplied, heard) << "an event came after end() returned";
  EXPECT_EQ(other, 0u);
}

// Suspended: the user's list back, nothing written when a keyboard
// appears; another session holds the same entry meanwhile, and resuming
// shares it, so that each end leaves the list as the other needs it.
TEST_F(KeyboardsTest, ASuspendedSessionWritesNothingAndResumesBesideAnother) {
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
  // A suspend that cannot have the lock says so, and changes nothing. (A
  // link in its place is refused on every platform.)
  const std::filesystem::path lock = KeyMappingLock::lockFilePath();
  std::filesystem::remove(lock);
  std::filesystem::create_symlink("/dev/null", lock);
  const auto refused = session.suspend();
  std::filesystem::remove(lock);
  EXPECT_FALSE(refused.restored);
  EXPECT_EQ(refused.code, FnRemapSessionError::Code::lockRefused) << refused.message;
  EXPECT_EQ(store.read(), remapped);
  ASSERT_TRUE(session.suspend().restored);
  EXPECT_EQ(store.read(), original);
  EXPECT_TRUE(session.suspend().restored) << "suspending again";
  appear();
  sleep_for(1200ms);
  EXPECT_EQ(store.read(), original) << "a suspended session wrote";

  auto other = FnRemapSession::begin(FNGUARD_TOOL, ours);
  EXPECT_EQ(store.read(), remapped);
  // The guard ended while suspended: resume replaces it.
  const pid_t guard = session.guardPid();
  ::kill(guard, SIGKILL);
  EXPECT_TRUE(eventually([&] { return ::kill(guard, 0) != 0 && session.guardPid() == 0; }));
  ASSERT_TRUE(session.resume().restored);
  EXPECT_NE(session.guardPid(), 0);
  EXPECT_TRUE(other.end().restored);
  EXPECT_EQ(store.read(), remapped) << "the resumed session's entry went with the other";
  EXPECT_TRUE(session.end().restored);
  EXPECT_EQ(store.read(), original);
}
