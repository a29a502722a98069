// SPDX-License-Identifier: Apache-2.0
#if canImport(FoundationEssentials)
import FoundationEssentials
#else
import Foundation
#endif
import CFnRemapKit
import Dispatch

/// An application's Fn remap, installed so that it cannot outlive the
/// application.
///
/// Beginning a session starts the guard for this process, waits until the
/// guard says that it is watching, and only then installs the remap. On a
/// normal quit, ending it puts the key mapping back. However else the
/// application ends (a crash, a kill), the guard removes the remap.
///
/// ```swift
/// let session = try await FnRemapSession.begin(guard: helperURL)
/// // ... on a normal quit:
/// try await session.end()
/// ```
///
/// The `async` forms never block the caller's actor: they wait on a
/// dispatch queue of the session's own, one call at a time, in the order
/// they were made. The synchronous forms block the calling thread for as
/// long as they take (the bounds are in each one's description): use them
/// off the main actor, or where waiting does not matter.
///
/// A session is `Sendable`: any task, actor or thread may use it, and
/// several at once.
public final class FnRemapSession: Sendable {
  /// The Fn key: usage page 0xFF (Apple's vendor top case page), usage 0x03.
  public static let fnSource: Int64 = FnRemapFnSource
  /// The Fn key as other Apple keyboards report it: usage page 0xFF01
  /// (Apple's vendor keyboard page), usage 0x03. Which one a keyboard sends
  /// depends on its model: remapping Fn on every Apple keyboard takes a
  /// session for each.
  public static let fnVendorKeyboardSource: Int64 = FnRemapFnVendorKeyboardSource
  /// F19: keyboard page 0x07, usage 0x6E.
  public static let fnDestination: Int64 = FnRemapFnDestination
  /// The virtual key code that key events carry for F19.
  public static let fnDestinationKeyCode: UInt16 = FnRemapFnDestinationKeyCode

  /// The C session, by its address. A pointer is not `Sendable`, since what
  /// one points to may in general not be shared; this one may: the C
  /// session is safe for calls from any threads at once (FnRemapKit.h), and
  /// it lives exactly as long as this object, whose `deinit` frees it when
  /// no other call can be made. So the address is held as the number it
  /// is, and each call makes the handle again.
  private let address: UInt
  private var handle: FnRemapSessionRef { OpaquePointer(bitPattern: address)! }
  /// Where the `async` forms' blocking calls run, one at a time and in the
  /// order they were made; the user-switch follower's too.
  private let queue: DispatchQueue
  private let feed = FnRemapEventFeed()
  let follower = FnRemapUserSessionFollower()

  /// What the session's monitor tells: a guard replaced, the entry
  /// removed. The stream finishes once the session has ended. Events come
  /// from the monitor's thread; read them from one task.
  public var events: AsyncStream<FnRemapEvent> { feed.stream }

  /// Begins a session without blocking the caller's actor: starts the guard
  /// at `guardURL` for this process, then installs the entry `source` to
  /// `destination` in place of every entry for `source`.
  ///
  /// It waits, on a thread of the library's own, 20 s at most for the guard
  /// to say that it is watching (the first time a freshly downloaded guard
  /// runs, macOS may assess it before it starts), then 2 s at most for the
  /// key mapping's lock.
  ///
  /// - Parameters:
  ///   - guardURL: The file URL of the `tarnwick-fn-guard` executable, the
  ///     one the application bundles; unless given, ``bundledGuardURL``.
  ///   - source: The HID usage to remap (usage page above bit 32); Fn unless
  ///     given.
  ///   - destination: The HID usage it becomes; F19 unless given.
  ///   - followsUserSession: On macOS, suspend the session while the user's
  ///     login session is not the active one, and resume it when it is
  ///     again (another user at the keyboard does not get the remap). The
  ///     library sets this up on the main actor itself, whatever actor
  ///     calls, so `begin` returns once the main actor has run it: pass
  ///     false in a program whose main thread does not run the main actor
  ///     (one blocked in a wait, say). Ignored elsewhere.
  /// - Returns: The session, its remap installed and its guard watching.
  /// - Throws: ``FnRemapError`` saying what failed (``FnRemapError/Code/guardNotStarted``
  ///   for a nil URL). Nothing is then written and no guard is left running.
  public static func begin(
    guard guardURL: URL? = FnRemapSession.bundledGuardURL, source: Int64 = fnSource,
    destination: Int64 = fnDestination, followsUserSession: Bool = true
  ) async throws -> FnRemapSession {
    let queue = DispatchQueue(label: "FnRemapKit.FnRemapSession", qos: .userInitiated)
    let session = try await run(on: queue) {
      try FnRemapSession(beginning: guardURL, source: source, destination: destination, queue: queue)
    }
    #if canImport(AppKit)
    if followsUserSession { await session.follower.followSystem(session) }
    #else
    _ = followsUserSession
    #endif
    return session
  }

  /// Begins a session as ``begin(guard:source:destination:followsUserSession:)``
  /// does, but blocking the calling thread while it waits: up to 20 s for
  /// the guard and 2 s for the lock. On the main actor, use `begin`.
  ///
  /// Following the user's session, when asked, is set up on the main actor
  /// once it next runs.
  ///
  /// - Parameters:
  ///   - guardURL: The file URL of the `tarnwick-fn-guard` executable; unless
  ///     given, ``bundledGuardURL``.
  ///   - source: The HID usage to remap; Fn unless given.
  ///   - destination: The HID usage it becomes; F19 unless given.
  ///   - followsUserSession: On macOS, suspend the session while the user's
  ///     login session is not the active one, and resume it when it is
  ///     again. Ignored elsewhere.
  /// - Throws: ``FnRemapError`` saying what failed. Nothing is then written
  ///   and no guard is left running.
  public convenience init(
    guard guardURL: URL? = FnRemapSession.bundledGuardURL, source: Int64 = FnRemapSession.fnSource,
    destination: Int64 = FnRemapSession.fnDestination, followsUserSession: Bool = true
  ) throws {
    try self.init(
      beginning: guardURL, source: source, destination: destination,
      queue: DispatchQueue(label: "FnRemapKit.FnRemapSession", qos: .userInitiated))
    #if canImport(AppKit)
    if followsUserSession {
      Task { @MainActor [weak self] in
        if let self { self.follower.followSystem(self) }
      }
    }
    #else
    _ = followsUserSession
    #endif
  }

  /// Begins the C session; blocks.
  private init(beginning guardURL: URL?, source: Int64, destination: Int64, queue: DispatchQueue) throws {
    guard let guardURL else {
      throw FnRemapError(
        code: .guardNotStarted, description: "cannot start the guard: no tarnwick-fn-guard in the application's bundle")
    }
    guard guardURL.isFileURL else {
      throw FnRemapError(code: .guardNotStarted, description: "cannot start the guard: not a file URL: \(guardURL)")
    }
    var error = FnRemapError.buffer()
    var code = FnRemapErrorNone
    let began = guardURL.withUnsafeFileSystemRepresentation { path in
      error.withUnsafeMutableBufferPointer { text in
        FnRemapSessionBeginWithCode(path, source, destination, &code, text.baseAddress, text.count)
      }
    }
    guard let began else { throw FnRemapError(code, error) }
    address = UInt(bitPattern: began)
    self.queue = queue
    feed.attach(to: began)
  }

  /// Ends a session not yet ended, as `end()` does, but silently and
  /// trying the lock once, without waiting: a guard whose entry could not be
  /// restored keeps running until the application exits, and then removes
  /// it. It blocks the releasing thread for about 1 s at most.
  deinit {
    FnRemapSessionFree(handle)
    feed.finish()
    Task { @MainActor [follower] in follower.stop() }
  }

  /// The pid of the running guard, or 0 once it has ended (and in a process
  /// forked from the one that began the session). A guard that someone
  /// else ended is reaped here; this never blocks.
  public var guardPID: pid_t { FnRemapSessionGetGuardPID(handle) }

  /// Ends the session's hold, so that the user's list comes back (unless
  /// another session holds the same entry), but keeps the guard: for
  /// another user at the keyboard, since the key mapping is the whole
  /// machine's. A suspended session writes nothing when a keyboard appears.
  /// Does nothing when suspended already.
  ///
  /// Blocks the calling thread while it waits for the key mapping's lock:
  /// 2 s at most, or as long as another of this session's calls takes.
  ///
  /// - Throws: ``FnRemapError`` saying what failed; the session is then as
  ///   it was.
  public func suspend() throws {
    try call(FnRemapSessionSuspendWithCode)
  }

  /// Suspends the session as the synchronous `suspend()` does, without
  /// blocking the caller's actor.
  ///
  /// - Throws: ``FnRemapError`` saying what failed; the session is then as
  ///   it was.
  public func suspend() async throws {
    try await Self.run(on: queue) { try self.suspend() }
  }

  /// Holds the entry again as beginning the session did (another session's
  /// other destination for the key is refused), first replacing a guard
  /// that ended while suspended. Does nothing when not suspended.
  ///
  /// Blocks the calling thread while it waits: up to 20 s for a new guard,
  /// 2 s for the lock, or as long as another of this session's calls takes.
  ///
  /// - Throws: ``FnRemapError`` saying what failed; the session then stays
  ///   suspended.
  public func resume() throws {
    try call(FnRemapSessionResumeWithCode)
  }

  /// Resumes the session as the synchronous `resume()` does, without
  /// blocking the caller's actor.
  ///
  /// - Throws: ``FnRemapError`` saying what failed; the session then stays
  ///   suspended.
  public func resume() async throws {
    try await Self.run(on: queue) { try self.resume() }
  }

  /// Puts the key mapping back as it was before the session (entries that
  /// others added since are kept), then ends and reaps the guard.
  ///
  /// May be called again: after a success it does nothing, after a failure
  /// it tries again. Blocks the calling thread: 2 s at most for the lock,
  /// about 1 s for the guard to end, or as long as another of this
  /// session's calls takes.
  ///
  /// - Throws: ``FnRemapError`` saying what failed. The guard is then kept,
  ///   so that it removes the entry when the application exits.
  public func end() throws {
    try call(FnRemapSessionEndWithCode)
    feed.finish()
    Task { @MainActor [follower] in follower.stop() }
  }

  /// Ends the session as the synchronous `end()` does, without blocking the
  /// caller's actor.
  ///
  /// - Throws: ``FnRemapError`` saying what failed. The guard is then kept,
  ///   so that it removes the entry when the application exits.
  public func end() async throws {
    try await Self.run(on: queue) { try self.end() }
  }

  /// Runs `change` on the session's queue after every call made before it,
  /// without waiting for it; what it throws is dropped.
  func enqueue(_ change: @escaping @Sendable (FnRemapSession) throws -> Void) {
    queue.async { try? change(self) }
  }

  /// Runs `work` on `queue` and waits for it there, not on the caller's
  /// thread: an `async` function alone may run on the caller's actor.
  private static func run<Value: Sendable>(
    on queue: DispatchQueue, _ work: @escaping @Sendable () throws -> Value
  ) async throws -> Value {
    try await withCheckedThrowingContinuation { continuation in
      queue.async { continuation.resume(with: Result(catching: work)) }
    }
  }

  /// Calls one of the C interface's session functions that report as
  /// `FnRemapSessionEndWithCode` does, and throws what it reports.
  private func call(
    _ function: (FnRemapSessionRef, UnsafeMutablePointer<FnRemapErrorCode>?, UnsafeMutablePointer<CChar>?, Int) -> Bool
  ) throws {
    var error = FnRemapError.buffer()
    var code = FnRemapErrorNone
    let done = error.withUnsafeMutableBufferPointer { text in function(handle, &code, text.baseAddress, text.count) }
    if !done { throw FnRemapError(code, error) }
  }
}
