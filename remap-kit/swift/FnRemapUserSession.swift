#if canImport(AppKit)
import AppKit

/// Suspends a session while its user's login session is not the active one
/// (fast user switching: the key mapping is the whole machine's, so another
/// user at the keyboard would get the remap), and resumes it when it is
/// again. macOS only; the notifications come on the main queue.
final class FnRemapUserSessionFollower {
  /// The session, as the observers reach it: weakly, so that it can go.
  /// Unchecked because the observers run on the main queue, where a
  /// session that follows the user's session is to be used.
  private struct Followed: @unchecked Sendable {
    weak var session: FnRemapSession?
  }

  private let observers: [NSObjectProtocol]

  init(_ session: FnRemapSession) {
    let followed = Followed(session: session)
    let center = NSWorkspace.shared.notificationCenter
    observers = [
      center.addObserver(
        forName: NSWorkspace.sessionDidResignActiveNotification, object: nil, queue: .main
      ) { _ in try? followed.session?.suspend() },
      center.addObserver(
        forName: NSWorkspace.sessionDidBecomeActiveNotification, object: nil, queue: .main
      ) { _ in try? followed.session?.resume() },
    ]
  }

  deinit {
    for observer in observers { NSWorkspace.shared.notificationCenter.removeObserver(observer) }
  }
}
#endif
