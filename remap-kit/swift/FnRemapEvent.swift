import CFnRemapKit

/// What a session's monitor tells the application while the session runs.
///
/// Between creating a session and ``FnRemapSession/end()``, the session's
/// monitor (one thread per session) watches the guard. A guard that was
/// killed is replaced; one that was stopped (it then removes the entry
/// itself) or cannot be replaced ends the session's hold.
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

  func yield(_ event: CFnRemapKit.FnRemapEvent) {
    switch event.rawValue {
    case FnRemapEventGuardReplaced.rawValue: continuation.yield(.guardReplaced)
    case FnRemapEventReapplied.rawValue: continuation.yield(.reapplied)
    case FnRemapEventRemoved.rawValue: continuation.yield(.removed)
    default: break
    }
  }

  func finish() { continuation.finish() }

  /// Sets `session`'s handler to this feed.
  func attach(to session: FnRemapSessionRef) {
    FnRemapSessionSetEventHandler(session, { _, event, context in
      guard let context else { return }
      Unmanaged<FnRemapEventFeed>.fromOpaque(context).takeUnretainedValue().yield(event)
    }, Unmanaged.passUnretained(self).toOpaque())
  }
}
