// SPDX-License-Identifier: Apache-2.0
#if canImport(FoundationEssentials)
import FoundationEssentials
#else
import Foundation
#endif
import CFnRemapKit

/// What failed when a ``FnRemapSession`` began, ended, suspended or resumed,
/// in the library's words: one line such as "cannot start the guard at
/// PATH: No such file or directory", "the key mapping is locked by another
/// process" or "the HID system refused the remap", and that failure's
/// ``Code``.
///
/// ```swift
/// do {
///   session = try await FnRemapSession.begin(guard: helperURL)
/// } catch let error as FnRemapError where error.code == .locked {
///   // another FnRemapKit application is writing the key mapping: try again soon
/// }
/// ```
public struct FnRemapError: Error, CustomStringConvertible, LocalizedError, Hashable, Sendable {
  /// What failed, as the C interface's `FnRemapErrorCode` numbers it.
  ///
  /// New codes may come with later versions of the library; this version
  /// calls them ``unknown``, so a `switch` over them needs a `default`.
  public enum Code: Int, Sendable, CaseIterable {
    /// A code that this version does not know, from a later library; the
    /// error's ``FnRemapError/description`` says what failed.
    case unknown = -1
    /// The guard could not be started, or there is no guard to start.
    case guardNotStarted = 1
    /// The guard exited, or ended, before it was watching, or did not say
    /// that it was watching within 20 s.
    case guardNotWatching
    /// The guard cannot reach the key mapping (its own reason follows).
    case guardCannotReach
    /// Another process held the key mapping's lock for 2 s.
    case locked
    /// The key mapping's lock file is refused.
    case lockRefused
    /// The key mapping cannot be read, or what it holds cannot be
    /// understood.
    case readFailed
    /// The HID system refused the remap, or the restored list.
    case writeRefused
    /// The restored key mapping still holds the remap.
    case stillRemapped
    /// Another application holds the key with another destination.
    case keyRemappedByOther
    /// The ledger of holds is a newer FnRemapKit's.
    case newerLedger
    /// The ledger of holds beside the key mapping cannot be written.
    case holdsNotWritten
    /// The session belongs to another process (one this one was forked from).
    case otherProcess
    /// There was no session to act on: the C interface's answer for a NULL
    /// one. A ``FnRemapSession`` holds its own until it is released, so it
    /// never throws this.
    case noSession
    /// Called from the session's own event handler, which the C and C++
    /// interfaces refuse; the Swift layer's ``FnRemapSession/events``
    /// stream never runs there.
    case calledFromEventHandler

    init(_ code: FnRemapErrorCode) {
      self = Code(rawValue: Int(code.rawValue)) ?? .unknown
    }
  }

  /// The library's line saying what failed.
  public let description: String
  /// What failed, as a number that does not change with the wording.
  public let code: Code

  /// The line, so that `localizedDescription` reads it.
  public var errorDescription: String? { description }

  init(code: Code, description: String) {
    self.code = code
    self.description = description
  }

  /// The text the C interface wrote into `buffer`, up to its terminating NUL.
  init(_ code: FnRemapErrorCode, _ buffer: [CChar]) {
    let text = buffer.prefix { $0 != 0 }.map { UInt8(bitPattern: $0) }
    self.init(code: Code(code), description: String(decoding: text, as: UTF8.self))
  }

  /// Room for the library's line; a longer one is cut, never overrun.
  static func buffer() -> [CChar] { [CChar](repeating: 0, count: 1024) }
}
