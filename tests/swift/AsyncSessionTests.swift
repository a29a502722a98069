// SPDX-License-Identifier: Apache-2.0
@testable import FnRemapKit
import Foundation
import Testing

/// The `async` forms, the session shared between tasks, and following user
/// switches: in the suite of FnRemapSessionTests, whose key mapping is one
/// per process.
extension FnRemapSessionTests {
  // Begun from a detached task, read by a thousand tasks at once, changed
  // from several: every read sees the one guard, and the last change, a
  // resume, holds the entry.
  @Test func aSessionIsSharedAcrossTasks() async throws {
    let session = try await Task.detached { try await FnRemapSession.begin(guard: guardTool) }.value
    let reads = await withTaskGroup(of: pid_t.self) { group in
      for _ in 0..<1000 { group.addTask { session.guardPID } }
      return await group.reduce(into: Set()) { $0.insert($1) }
    }
    #expect(reads == [session.guardPID])
    try await withThrowingTaskGroup(of: Void.self) { group in
      for _ in 0..<4 { group.addTask { try await session.suspend(); try await session.resume() } }
      try await group.waitForAll()
    }
    #expect(try keyMapping() == [ours])
    try await session.end()
    #expect(try keyMapping() == [])
  }

  // A guard that takes 2 s to report: begin, awaited on the main actor,
  // waits elsewhere, and the main actor runs on meanwhile. Then what the
  // follower is told it does in that order, off the main actor; once the
  // session has ended it follows no more (a resume would do nothing to
  // show it); and it does not keep the session.
  @MainActor @Test func beginLeavesTheMainActorFreeAndTheFollowerFollows() async throws {
    let slow = root.appendingPathComponent("slow-guard")
    try "#!/bin/sh\nsleep 2\nexec '\(guardTool.path)' \"$@\"\n".write(to: slow, atomically: true, encoding: .utf8)
    chmod(slow.path, 0o755)
    let turns = Turns()
    let ticking = Task { @MainActor in
      while !Task.isCancelled {
        turns.count += 1
        try? await Task.sleep(nanoseconds: 50_000_000)
      }
    }
    var session: FnRemapSession? = try await FnRemapSession.begin(guard: slow)
    ticking.cancel()
    #expect(turns.count >= 10, "a main actor blocked for 2 s turns once")
    let switches = Switches()
    session?.follower.follow(session!, activity: switches)
    let done = { [session] in await withCheckedContinuation { told in session?.enqueue { _ in told.resume() } } }
    for (told, held) in [([false], false), ([true], true), ([false, true, false], false), ([true], true)] {
      told.forEach { switches.changed?($0) }
      await done()
      #expect(try keyMapping() == (held ? [ours] : []), "\(told)")
    }
    try await session?.end()
    switches.changed?(true)
    await done()
    #expect(switches.changed == nil, "the follower still follows an ended session")
    session = try await FnRemapSession.begin(guard: guardTool)
    session?.follower.follow(session!, activity: switches)
    session = nil // the last reference may be the queue's for a moment longer
    let deadline = Date().addingTimeInterval(5)
    while try keyMapping() != [], Date() < deadline { try await Task.sleep(nanoseconds: 10_000_000) }
    #expect(try keyMapping() == [], "the follower kept the session")
  }
}

@MainActor final class Turns { var count = 0 }

/// User switches as a test tells them.
@MainActor final class Switches: UserSessionActivity {
  var changed: (@MainActor @Sendable (Bool) -> Void)?
  func start(_ changed: @escaping @MainActor @Sendable (Bool) -> Void) { self.changed = changed }
  func stop() { changed = nil }
}
