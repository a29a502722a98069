// SPDX-License-Identifier: Apache-2.0
import CFnRemapKit

/// What a session's monitor tells the application while the session runs,
/// read from ``FnRemapSession/events``.
///
/// Between beginning a session and ending it, the session's monitor (one
/// thread per session) watches the guard. A guard that was killed is
/// replaced; one that was stopped (it then removes the entry itself) or
/// cannot be replaced ends the session's hold. The C interface's events,
/// which this layer reads for you, are `FnRemapEventCode` in Swift.
public enum FnRemapEvent: Sendable, Hashable {
  /// A new guard watches: the last one was killed. ``FnRemapSession/guardPID``
  /// has the new one's pid.
  case guardReplaced
  /// A keyboard appeared without the entry in the key mapping, and it is
  /// back.
  case reapplied
  /// The session no longer holds its entry: it is out of the key mapping,
  /// or kept there for another session that holds the same one.
  case removed
  /// A step of the monitor's (replacing the guard, releasing, reapplying)
  /// failed each second for 30 s, for the reason given, and the monitor has
  /// stopped. A guard that runs is kept, and removes the entry when the
  /// application exits; but no guard is replaced and no entry reapplied
  /// until the application acts, so the remap may be gone, or held with no
  /// guard. Tell the user, then end the session (or suspend it), which
  /// starts the monitor again if it fails; resuming it starts it again too.
  case monitorStopped(FnRemapError)
}

/// Carries events from the monitor's thread into a session's stream. The C
/// interface holds it by an unretained pointer; the session keeps it alive
/// until the monitor can no longer call.
final class FnRemapEventFeed: Sendable {
  let stream: AsyncStream<FnRemapEvent>
  private let continuation: AsyncStream<FnRemapEvent>.Continuation

  init() {
    (stream, continuation) = AsyncStream.makeStream(of: FnRemapEvent.self)
  }

  func yield(_ event: FnRemapEventCode, of session: FnRemapSessionRef) {
    switch event.rawValue {
    case FnRemapEventGuardReplaced.rawValue: continuation.yield(.guardReplaced)
    case FnRemapEventReapplied.rawValue: continuation.yield(.reapplied)
    case FnRemapEventRemoved.rawValue: continuation.yield(.removed)
    case FnRemapEventMonitorStopped.rawValue:
      var reason = FnRemapError.buffer()
      var code = FnRemapErrorNone
      _ = reason.withUnsafeMutableBufferPointer { text in
        FnRemapSessionGetMonitorStopReason(session, &code, text.baseAddress, text.count)
      }
      continuation.yield(.monitorStopped(FnRemapError(code, reason)))
    default: break // a later library's event, which this layer cannot name
    }
  }

  func finish() { continuation.finish() }

  /// Sets `session`'s handler to this feed.
  func attach(to session: FnRemapSessionRef) {
    FnRemapSessionSetEventHandler(session, { session, event, context in
      guard let context else { return }
      Unmanaged<FnRemapEventFeed>.fromOpaque(context).takeUnretainedValue().yield(event, of: session)
    }, Unmanaged.passUnretained(self).toOpaque())
  }
}
