// SPDX-License-Identifier: Apache-2.0
// One session acted on from several threads at once, as an application's
// threads and the Swift layer's user-switch follower do. Run under
// ThreadSanitizer (the tsan preset), an access that no lock orders fails
// them. The C interface, which the Swift layer shares between tasks, keeps
// nothing of its own: each of its calls is one of these.
#include "support/TestSupport.hpp"

#include <FnRemapKit/FnRemapKit.hpp>

#include <atomic>
#include <mutex>
#include <set>

using namespace FnRemapKit;
using namespace TestSupport;
using Event = FnRemapSession::Event;

namespace {

const KeyMappingEntry ours = FnRemapMapping::entry(FnRemapMapping::fnSource, FnRemapMapping::fnDestination);
const KeyMappingList original = {FnRemapMapping::entry(0x700000039, 0x7000000E0)};

struct ConcurrentSessionTest : KeyMappingTest {
  ConcurrentSessionTest() : KeyMappingTest(original) {}
};

// Runs each of \p bodies on a thread of its own, all released at once.
void together(const std::vector<std::function<void()>> &bodies) {
  std::atomic<bool> go = false;
  std::vector<std::thread> threads;
  for (const auto &body : bodies)
    threads.emplace_back([&] {
      while (!go)
        std::this_thread::yield();
      body();
    });
  go = true;
  for (auto &thread : threads)
    thread.join();
}

} // namespace

// Suspend, resume, the handler set and taken away, the reason and the
// handler's thread asked, all beside eight threads of guardPid() reads: every
// change is done, and the guard is the same throughout. Then the guard is
// killed, and while the monitor replaces it, and a thousand reads reap it,
// two threads end the session and others suspend and resume it: whatever
// the order, the list comes back and no guard is left.
TEST_F(ConcurrentSessionTest, EveryCallFromAnyThreadAtOnce) {
  auto session = FnRemapSession::begin(FNGUARD_TOOL, ours);
  const pid_t guard = session.guardPid();
  std::atomic<int> failed = 0, replaced = 0, misplaced = 0;
  std::mutex access;
  std::set<pid_t> seen;
  const auto reads = [&] {
    std::set<pid_t> mine; // gathered after, so that no lock orders the reads
    for (int count = 0; count < 125; ++count)
      mine.insert(session.guardPid());
    const std::lock_guard lock(access);
    seen.merge(mine);
  };
  const auto change = [&](int times) {
    return [&, times] {
      for (int count = 0; count < times; ++count)
        failed += !(count % 2 ? session.resume() : session.suspend()).restored;
    };
  };
  const auto ending = [&] { failed += !session.end().restored; };
  const auto handlers = [&] {
    for (int count = 0; count < 200; ++count)
      session.onEvent(count % 4 == 1 ? FnRemapSession::EventHandler{} : [&](Event event) {
        replaced += event == Event::guardReplaced;
        misplaced += !session.isCallingFromEventHandler();
      });
  };
  const auto asking = [&] {
    for (int count = 0; count < 200; ++count)
      misplaced += session.monitorStopReason().has_value() + session.isCallingFromEventHandler();
  };
  together({change(20), change(20), handlers, handlers, asking, reads, reads, reads, reads, reads, reads, reads, reads});
  EXPECT_EQ(seen, std::set{guard});
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(store.read(), FnRemapMapping::merging(original, ours)) << "the last change, a resume, holds it";

  ::kill(guard, SIGKILL);
  seen.clear();
  together({change(3), change(2), ending, ending, handlers, asking, reads, reads, reads, reads, reads, reads, reads, reads});
  EXPECT_EQ(failed, 0);
  EXPECT_LE(seen.size(), 3u) << "the guard, none, and its replacement";
  EXPECT_EQ(misplaced, 0);
  EXPECT_LE(replaced, 1);
  ending(); // after a resume that came last
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(store.read(), original);
  EXPECT_EQ(session.guardPid(), 0);
  EXPECT_TRUE(reapAll().empty()) << "a guard was left";
}
