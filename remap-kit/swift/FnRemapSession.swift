#if canImport(FoundationEssentials)
import FoundationEssentials
#else
import Foundation
#endif
import CFnRemapKit

/// An application's Fn remap, installed so that it cannot outlive the
/// application.
///
/// Creating a session starts the guard for this process, waits until the
/// guard says that it is watching, and only then installs the remap. On a normal quit, ``end()``
/// puts the key mapping back. However else the application ends (a crash, a
/// kill), the guard removes the remap.
///
/// ```swift
/// let session = try FnRemapSession(guard: helperURL)
/// // ... on a normal quit:
/// try session.end()
/// ```
///
/// A session is not `Sendable`: create, use and release it on one thread,
/// actor or queue at a time.
public final class FnRemapSession {
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

  private let handle: FnRemapSessionRef
  private let feed = FnRemapEventFeed()
  #if canImport(AppKit)
  private var follower: FnRemapUserSessionFollower?
  #endif

  /// What the session's monitor tells: a guard replaced, the entry
  /// removed. The stream finishes once the session has ended. Events come
  /// from the monitor's thread; read them from one task.
  public var events: AsyncStream<FnRemapEvent> { feed.stream }

  /// Starts the guard at `guardURL` for this process, then installs the
  /// entry `source` to `destination` in place of every entry for `source`.
  /// It waits 20 s at most for the guard to say that it is watching: the
  /// first time a freshly downloaded guard runs, macOS may assess it before
  /// it starts.
  ///
  /// - Parameters:
  ///   - guardURL: The file URL of the `tarnwick-fn-guard` executable, the
  ///     one the application bundles; unless given, ``bundledGuardURL``.
  ///   - source: The HID usage to remap (usage page above bit 32); Fn unless
  ///     given.
  ///   - destination: The HID usage it becomes; F19 unless given.
  ///   - followsUserSession: On macOS, suspend the session while the user's
  ///     login session is not the active one, and resume it when it is
  ///     again (another user at the keyboard does not get the remap); the
  ///     session is then to be used on the main thread. Ignored elsewhere.
  /// - Throws: ``FnRemapError`` saying what failed (``FnRemapError/Code/guardNotStarted``
  ///   for a nil URL). Nothing is then written and no guard is left running.
  public init(
    guard guardURL: URL? = FnRemapSession.defaultGuardURL, source: Int64 = FnRemapSession.fnSource,
    destination: Int64 = FnRemapSession.fnDestination, followsUserSession: Bool = true
  ) throws {
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
    handle = began
    feed.attach(to: began)
    #if canImport(AppKit)
    if followsUserSession { follower = FnRemapUserSessionFollower(self) }
    #else
    _ = followsUserSession
    #endif
  }

  /// Ends a session not yet ended, as ``end()`` does, but silently: a guard
  /// whose entry could not be restored keeps running until the application
  /// exits, and then removes it.
  deinit {
    FnRemapSessionFree(handle)
    feed.finish()
  }

  /// The pid of the running guard, or 0 once it has ended (and in a process
  /// forked from the one that created the session). A guard that someone
  /// else ended is reaped here; this never blocks.
  public var guardPID: pid_t { FnRemapSessionGetGuardPID(handle) }

  /// Ends the session's hold, so that the user's list comes back (unless
  /// another session holds the same entry), but keeps the guard: for
  /// another user at the keyboard, since the key mapping is the whole
  /// machine's. A suspended session writes nothing when a keyboard appears.
  /// Does nothing when suspended already.
  ///
  /// - Throws: ``FnRemapError`` saying what failed; the session is then as
  ///   it was.
  public func suspend() throws {
    try call(FnRemapSessionSuspendWithCode)
  }

  /// Holds the entry again as creating the session did (another session's
  /// other destination for the key is refused), first replacing a guard
  /// that ended while suspended. Does nothing when not suspended.
  ///
  /// - Throws: ``FnRemapError`` saying what failed; the session then stays
  ///   suspended.
  public func resume() throws {
    try call(FnRemapSessionResumeWithCode)
  }

  /// Puts the key mapping back as it was before the session (entries that
  /// others added since are kept), then ends and reaps the guard.
  ///
  /// May be called again: after a success it does nothing, after a failure
  /// it tries again.
  ///
  /// - Throws: ``FnRemapError`` saying what failed. The guard is then kept,
  ///   so that it removes the entry when the application exits.
  public func end() throws {
    try call(FnRemapSessionEndWithCode)
    feed.finish()
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

/// A session's state (its guard, the list it restores) is not guarded for
/// concurrent use, so it must not be shared across concurrency domains.
@available(*, unavailable)
extension FnRemapSession: Sendable {}
